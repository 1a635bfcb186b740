// Service objects, notification ports, registrations and iterators shared by the USB providers.
//
// A provider keeps one NotificationHub. It tells the hub about arrivals, terminations and interest messages;
// the hub queues the callbacks on the main queue. A registration that has been released never calls back,
// not even for a message queued before the release: every delivery checks the registration on the main queue
// under the registration's own call lock, and a release takes the same lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/USBServices.h"

namespace ovn::usb::detail {

// A fresh service handle value, unique in the process.
uint32_t nextServiceHandle();

// The service objects of both providers. Interface services carry the class and subclass used for matching.
class ServiceObject : public IOService {
public:
    ServiceObject(std::string className, uint8_t interfaceClass, uint8_t interfaceSubClass)
        : handle_(nextServiceHandle()),
          className_(std::move(className)),
          interfaceClass_(interfaceClass),
          interfaceSubClass_(interfaceSubClass) {}
    uint32_t handle() const override { return handle_; }
    std::string className() const override { return className_; }
    uint8_t interfaceClass() const { return interfaceClass_; }
    uint8_t interfaceSubClass() const { return interfaceSubClass_; }
    bool matches(const MatchingDict& matching) const;

private:
    uint32_t handle_;
    std::string className_;
    uint8_t interfaceClass_;
    uint8_t interfaceSubClass_;
};

class ServiceIterator : public IOIterator {
public:
    IOServicePtr IOIteratorNext() override;
    bool IOIteratorIsValid() override { return true; }
    void IOIteratorReset() override {}
    void push(IOServicePtr service);
    bool empty() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::deque<IOServicePtr> pending_;
};

struct Registration {
    enum class Kind { Matched, Terminated, Interest };
    Kind kind = Kind::Matched;
    MatchingDict matching;
    IOServicePtr service;            // interest registrations: the service watched (dropped on release)
    const IOService* watched = nullptr;  // its identity, fixed at creation
    std::shared_ptr<ServiceIterator> iterator;
    IOServiceMatchingCallback matchingCallback;
    IOServiceInterestCallback interestCallback;

    std::recursive_mutex callMutex;  // held while the callback runs and while releasing
    std::atomic<bool> active{true};

    void release();
};

class NotificationHub {
public:
    IONotificationPortPtr createPort();

    // `present`: the services already there (arrival registrations start with those that match).
    IOReturn addMatching(const IONotificationPortPtr& port, const std::string& type, const MatchingDict& matching,
                         IOServiceMatchingCallback callback, const std::vector<IOServicePtr>& present,
                         IOIteratorPtr* iterator, IONotificationPtr* notification);
    IOReturn addInterest(const IONotificationPortPtr& port, const IOServicePtr& service, const std::string& type,
                         IOServiceInterestCallback callback, IONotificationPtr* notification);

    // A service arrived: arrival registrations that match get it.
    void serviceArrived(const IOServicePtr& service);
    // Services left: first kIOMessageServiceIsTerminated to interest registrations on any of them, then the
    // removal registrations that match.
    void servicesTerminated(const std::vector<IOServicePtr>& services);
    // An interest message about one service.
    void interestMessage(const IOServicePtr& service, uint32_t message);

private:
    std::vector<std::shared_ptr<Registration>> live(Registration::Kind kind);
    void add(const std::shared_ptr<Registration>& registration);

    std::mutex mutex_;
    std::vector<std::weak_ptr<Registration>> registrations_;
};

// Records a finished control request in the transfer trace: the data stage, as far as it went.
void traceControlRequest(uint16_t vendorID, uint16_t productID, uint32_t locationID, const IOUSBDevRequestTO& request,
                         IOReturn result);

// What GetPipeProperties answers for one pipe: pipe 0 (the control pipe) by default, or an endpoint.
struct PipeProperties {
    uint8_t direction = kUSBAnyDirn;
    uint8_t number = 0;
    uint8_t transferType = kUSBControl;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;

    // The pipe of an endpoint descriptor's fields (address bit 7 set: IN).
    template <typename Endpoint>
    static PipeProperties of(const Endpoint& e) {
        return {static_cast<uint8_t>((e.address & 0x80) ? kUSBIn : kUSBOut), static_cast<uint8_t>(e.address & 0x0F),
                e.transferType, e.maxPacketSize, e.interval};
    }

    // Stores each value whose pointer is given.
    IOReturn give(uint8_t* directionOut, uint8_t* numberOut, uint8_t* transferTypeOut, uint16_t* maxPacketSizeOut,
                  uint8_t* intervalOut) const {
        if (directionOut) *directionOut = direction;
        if (numberOut) *numberOut = number;
        if (transferTypeOut) *transferTypeOut = transferType;
        if (maxPacketSizeOut) *maxPacketSizeOut = maxPacketSize;
        if (intervalOut) *intervalOut = interval;
        return kIOReturnSuccess;
    }
};

}  // namespace ovn::usb::detail
