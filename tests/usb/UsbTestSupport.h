// Helpers shared by the USB tests: main-queue pumping, a fixture that records arrival, removal and interest
// callbacks of any USB provider, request builders, and a scriptable device handler for the virtual bus.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"
#include "usb/VirtualUSBBus.h"

namespace ovn::usb::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    return MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}

inline void pumpFor(int ms) { MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

// A standard GET_DESCRIPTOR request (or any other, by type and request).
inline IOUSBDevRequestTO deviceRequest(uint16_t value, uint16_t index, uint16_t length, void* data,
                                       uint8_t requestType = 0x80, uint8_t request = 6) {
    return {.bmRequestType = requestType, .bRequest = request, .wValue = value, .wIndex = index, .wLength = length,
            .pData = data};
}

using Transfer = std::pair<IOReturn, Bytes>;

// One bulk read of at most `max` bytes: the result and the bytes that came.
inline Transfer readPipe(const IOUSBInterfaceInterfacePtr& i, uint8_t pipe, uint32_t max, uint32_t noData = 100,
                         uint32_t completion = 100) {
    Bytes buffer(max);
    uint32_t size = max;
    IOReturn result = i->ReadPipeTO(pipe, buffer.data(), &size, noData, completion);
    buffer.resize(size);
    return {result, buffer};
}

// What an interface handle tells about itself, in one line; "failed" when any query fails.
inline std::string identity(const IOUSBInterfaceInterfacePtr& i) {
    uint16_t vendor = 0xFFFF, product = 0xFFFF, release = 0xFFFF;
    uint32_t location = 0xFFFFFFFF;
    uint8_t cls = 0xFF, sub = 0xFF, protocol = 0xFF, number = 0xFF, config = 0xFF;
    const IOReturn results[] = {i->GetDeviceVendor(&vendor),       i->GetDeviceProduct(&product),
                                i->GetDeviceReleaseNumber(&release), i->GetLocationID(&location),
                                i->GetInterfaceClass(&cls),         i->GetInterfaceSubClass(&sub),
                                i->GetInterfaceProtocol(&protocol), i->GetInterfaceNumber(&number),
                                i->GetConfigurationValue(&config)};
    for (IOReturn r : results)
        if (r != kIOReturnSuccess) return "failed";
    char text[96];
    std::snprintf(text, sizeof text, "%04X:%04X rel %04X at %08X class %u/%u/%u interface %u config %u", vendor,
                  product, release, location, cls, sub, protocol, number, config);
    return text;
}

// Registers a port for arrival and removal of printer-class interfaces and records every callback in `log`,
// in order: "arrived", "removed", and the names of interest messages of watched services.
class ServicesFixture : public ::testing::Test {
protected:
    void TearDown() override {
        if (port) port->destroy();
        MainRunLoop::drain();
    }

    void registerMatching() {
        port = services->IONotificationPortCreate();
        MatchingDict printers;
        printers.bInterfaceClass = 7;
        printers.bInterfaceSubClass = 1;
        IOIteratorPtr arrivals, removals;
        ASSERT_EQ(kIOReturnSuccess, services->IOServiceAddMatchingNotification(
                                        port, kIOMatchedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it, "arrived", arrived); }, &arrivals,
                                        &arrivalNotification));
        drain(arrivals, "arrived", arrived);
        ASSERT_EQ(kIOReturnSuccess, services->IOServiceAddMatchingNotification(
                                        port, kIOTerminatedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it, "removed", removed); }, &removals,
                                        &removalNotification));
        ASSERT_TRUE(removals);
        EXPECT_FALSE(removals->IOIteratorNext());
        log.clear();
    }

    void drain(const IOIteratorPtr& it, const char* what, std::vector<IOServicePtr>& into) {
        while (auto service = it->IOIteratorNext()) {
            log.push_back(what);
            into.push_back(service);
        }
    }

    IONotificationPtr watch(const IOServicePtr& service) {
        IONotificationPtr notification;
        EXPECT_EQ(kIOReturnSuccess, services->IOServiceAddInterestNotification(
                                        port, service, kIOGeneralInterest,
                                        [this](const IOServicePtr&, uint32_t message, void*) {
                                            log.push_back(strForIOMessage(message));
                                        },
                                        &notification));
        return notification;
    }

    IOUSBInterfaceInterfacePtr interfaceOf(const IOServicePtr& service) {
        IOUSBInterfaceInterfacePtr handle;
        bool pluginFailed = true;
        EXPECT_EQ(kIOReturnSuccess, services->CreateInterfaceInterface(service, &handle, &pluginFailed));
        return handle;
    }

    IOUSBDeviceInterfacePtr deviceOf(const IOUSBInterfaceInterfacePtr& interface) {
        IOUSBDeviceInterfacePtr handle;
        bool pluginFailed = true;
        EXPECT_EQ(kIOReturnSuccess, services->CreateDeviceInterface(interface->GetDevice(), &handle, &pluginFailed));
        return handle;
    }

    std::shared_ptr<USBServices> services;
    IONotificationPortPtr port;
    IONotificationPtr arrivalNotification, removalNotification;
    Lines log;
    std::vector<IOServicePtr> arrived, removed;
};

// A device side that records what it gets and answers from scripted replies.
class ScriptedDevice : public VirtualDeviceHandler {
public:
    void attached(VirtualUSBBus&, uint64_t deviceId) override {
        std::lock_guard<std::mutex> lock(mutex);
        attachedIds.push_back(deviceId);
    }

    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override {
        Bytes bytes(data, data + length);
        std::unique_lock<std::mutex> lock(mutex);
        written.push_back(bytes);
        outTimeouts.push_back(timeoutMs);
        auto hook = onBulkOut;
        lock.unlock();
        return hook ? hook(bytes) : kIOReturnSuccess;
    }

    IOReturn bulkIn(Bytes& out, size_t maxLength, uint32_t timeoutMs) override {
        std::unique_lock<std::mutex> lock(mutex);
        inTimeouts.push_back(timeoutMs);
        inMaxLengths.push_back(maxLength);
        ++bulkInCalls;
        if (auto hook = onBulkIn) {
            lock.unlock();
            return hook(out);
        }
        if (replies.empty()) return kIOReturnTimeout;
        out = replies.front();
        replies.pop_front();
        return kIOReturnSuccess;
    }

    IOReturn controlRequest(const IOUSBDevRequestTO& setup, Bytes& in) override {
        std::lock_guard<std::mutex> lock(mutex);
        controls.push_back(setup);
        in = controlAnswer;
        return controlResult;
    }

    void queueReply(Bytes reply) {
        std::lock_guard<std::mutex> lock(mutex);
        replies.push_back(std::move(reply));
    }

    std::mutex mutex;
    std::vector<uint64_t> attachedIds;
    std::vector<Bytes> written;
    std::vector<uint32_t> outTimeouts, inTimeouts;
    std::vector<size_t> inMaxLengths;
    int bulkInCalls = 0;
    std::deque<Bytes> replies;
    std::vector<IOUSBDevRequestTO> controls;
    Bytes controlAnswer;
    IOReturn controlResult = kIOReturnSuccess;
    std::function<IOReturn(const Bytes&)> onBulkOut;
    std::function<IOReturn(Bytes&)> onBulkIn;
};

inline VirtualDeviceDescription printerDescription(uint16_t product = 0x0106, uint32_t location = 0) {
    VirtualDeviceDescription d;
    d.idVendor = 0x2A71;
    d.idProduct = product;
    d.locationID = location;
    d.iManufacturer = 1;
    d.iProduct = 2;
    d.iSerialNumber = 3;
    d.setString(1, u"Orvane Imaging");
    d.setString(2, u"PL25");
    d.setString(3, u"SN0001");
    return d;
}

}  // namespace ovn::usb::test
