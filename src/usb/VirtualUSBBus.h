// An in-process USB bus for tests and demos. Devices are described in code and plugged and unplugged at will;
// a device-side handler (the printer emulator) receives every bulk OUT transfer, answers bulk IN reads and the
// class control requests. Standard requests (descriptors, strings) are answered by the bus from the
// description. Faults can be injected per transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb/USBServices.h"

namespace ovn::usb {

struct VirtualEndpoint {
    uint8_t address = 0;  // bit 7 set: IN
    uint8_t transferType = kUSBBulk;
    uint16_t maxPacketSize = 512;
    uint8_t interval = 0;
};

struct VirtualDeviceDescription {
    uint16_t idVendor = 0;
    uint16_t idProduct = 0;
    uint16_t bcdDevice = 0x0100;
    uint32_t locationID = 0;  // 0: the bus picks a free one
    uint8_t interfaceClass = 7;
    uint8_t interfaceSubClass = 1;
    uint8_t interfaceProtocol = 2;
    uint8_t configurationValue = 1;
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    std::vector<VirtualEndpoint> endpoints{{0x01, kUSBBulk, 512, 0}, {0x81, kUSBBulk, 512, 0}};
    // String descriptors: the language list (descriptor 0) and texts per index and language. An index of 0
    // means the device has no such string.
    std::vector<uint16_t> languages{0x0409};
    std::map<uint8_t, std::map<uint16_t, std::u16string>> strings;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
    // Raw descriptor bytes to answer instead of the built ones, by string index (malformed descriptors).
    std::map<uint8_t, std::vector<uint8_t>> rawStringDescriptors;

    // Convenience: sets index i's text in every listed language.
    void setString(uint8_t index, const std::u16string& text);
};

// The device side. Called on the host's calling thread (a printer's command queue); must not block longer
// than the timeout it is given. May call back into the bus (for example to schedule its own re-enumeration).
// When a handler makes its own device leave (unplug or reEnumerate) from inside a transfer, that transfer keeps
// the result the handler returns (the device took the data before it left); a transfer that is in flight while
// anything else removes the device ends with kIOReturnNoDevice.
class VirtualDeviceHandler {
public:
    virtual ~VirtualDeviceHandler() = default;
    // The device was plugged in under this id (also after each re-enumeration); called before the host can
    // see it, on the thread that plugs it (the bus's own queue after a re-enumeration).
    virtual void attached(class VirtualUSBBus& bus, uint64_t deviceId) { (void)bus; (void)deviceId; }
    // A bulk OUT transfer of `length` bytes arrived. Returns the result the host sees.
    virtual IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) = 0;
    // The host reads at most maxLength bytes: fill `out` (it may be shorter; bytes beyond maxLength are kept by
    // the bus and handed out by the next reads without asking again) and return success, or return an error
    // (kIOReturnTimeout when nothing comes within timeoutMs).
    virtual IOReturn bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) = 0;
    // A class or vendor control request (GET_DEVICE_ID, SOFT_RESET). For device-to-host requests fill `in`
    // (the bus truncates it to wLength).
    virtual IOReturn controlRequest(const IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) = 0;
};

enum class FaultKind {
    Timeout,     // the transfer times out (nothing transferred)
    ShortRead,   // an IN transfer (bulk IN, or a device-to-host control request) returns only `bytes` bytes of
                 // what the device answered; for bulk IN the rest is kept for the next read
    Stall,       // kIOUSBPipeStalled
    Vanish,      // the device is unplugged in the middle of the transfer (kIOReturnNoDevice)
};
enum class FaultTransfer { BulkIn, BulkOut, Control, Any };

// Faults are checked in the order injected: every matching transfer counts towards each fault's `skip`, and
// the first fault past its skip applies. A fault that applies does not reach the handler (Timeout waits the
// scaled time-out first; Vanish unplugs the device). ShortRead matches IN transfers only.
struct InjectedFault {
    FaultKind kind = FaultKind::Timeout;
    FaultTransfer on = FaultTransfer::Any;
    uint32_t skip = 0;    // let this many matching transfers pass first
    uint32_t count = 1;   // then apply to this many
    uint32_t bytes = 0;   // ShortRead: bytes delivered
};

class VirtualUSBBus : public USBServices, public std::enable_shared_from_this<VirtualUSBBus> {
public:
    static std::shared_ptr<VirtualUSBBus> create();
    ~VirtualUSBBus() override;

    // Plugs a device in; arrival is announced on the main queue. Returns the device id.
    uint64_t plug(const VirtualDeviceDescription& description, std::shared_ptr<VirtualDeviceHandler> handler);
    // Removes the device: interest registrations on its services get kIOMessageServiceIsTerminated, then the
    // removal notifications run (main queue). Transfers in flight end with kIOReturnNoDevice.
    void unplug(uint64_t deviceId);
    // Leaves the bus now and comes back after the delay at the same location as new services, with the new
    // description when one is given (the device id stays the same). Safe to call from inside a handler.
    void reEnumerate(uint64_t deviceId, uint32_t delayMs,
                     std::optional<VirtualDeviceDescription> newDescription = std::nullopt);
    // Another program takes (true) or releases (false) the interface: while held, USBInterfaceOpenSeize answers
    // kIOReturnExclusiveAccess; taking sends kIOMessageServiceIsAttemptingOpen, releasing
    // kIOMessageServiceWasClosed to interest registrations. Taking fails (the message is sent all the same)
    // while this program has the interface open. A device asked for while it arrives (its handler being told of
    // it) is taken as it comes on the bus. Returns whether the other program has it.
    bool setHeldByOtherApplication(uint64_t deviceId, bool held);
    bool isHeldByOtherApplication(uint64_t deviceId) const;
    void injectFault(uint64_t deviceId, const InjectedFault& fault);
    void clearFaults(uint64_t deviceId);

    bool isPlugged(uint64_t deviceId) const;
    std::vector<uint64_t> devices() const;
    std::optional<VirtualDeviceDescription> description(uint64_t deviceId) const;
    std::shared_ptr<VirtualDeviceHandler> handler(uint64_t deviceId) const;
    // Whether this program has the device's interface open.
    bool isOpenByHost(uint64_t deviceId) const;

    // Bulk time-outs asked by the host are multiplied by this (tests use a small scale so that a printer that
    // never answers costs milliseconds, not seconds). Default 1.
    void setTimeoutScale(double scale);
    double timeoutScale() const;
    // How long a device stays away after the host asks for USBDeviceReEnumerate (default 100 ms).
    void setHostReEnumerateDelay(uint32_t delayMs);

    // USBServices
    IONotificationPortPtr IONotificationPortCreate() override;
    IOReturn IOServiceAddMatchingNotification(const IONotificationPortPtr& port, const std::string& type,
                                              const MatchingDict& matching, IOServiceMatchingCallback callback,
                                              IOIteratorPtr* iterator, IONotificationPtr* notification) override;
    IOReturn IOServiceAddInterestNotification(const IONotificationPortPtr& port, const IOServicePtr& service,
                                              const std::string& interestType, IOServiceInterestCallback callback,
                                              IONotificationPtr* notification) override;
    IOReturn CreateInterfaceInterface(const IOServicePtr& interfaceService, IOUSBInterfaceInterfacePtr* out,
                                      bool* pluginFailed) override;
    IOReturn CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                   bool* pluginFailed) override;

    struct State;

private:
    VirtualUSBBus();
    std::shared_ptr<State> state_;
};

}  // namespace ovn::usb
