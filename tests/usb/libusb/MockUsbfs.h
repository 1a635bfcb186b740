// A scripted printer behind a fake usbfs device node (sim/usbfs: the node answers its ioctls the way the kernel
// does): replies queued for the bulk IN pipe, an IEEE-1284 device ID, string descriptors; what arrived on the
// bulk OUT pipe, transfer by transfer.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/usbfs/UsbfsBus.h"

namespace ovn::usb::test {

using sim::restartUnderUmockdev;
using sim::usbDeviceRecord;
inline std::vector<uint8_t> hubDescriptors() { return sim::rootHubDescriptors(); }

// Device descriptor and one configuration with a printer interface (class 7, subclass 1, protocol 2) and a
// bulk OUT (0x01) and bulk IN (0x82) endpoint, as sysfs keeps them.
inline std::vector<uint8_t> printerDescriptors(uint16_t vendor, uint16_t product, uint8_t interfaceClass = 7) {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, static_cast<uint8_t>(vendor & 0xFF), static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product & 0xFF), static_cast<uint8_t>(product >> 8), 0x00, 0x01, 1, 2, 3, 1,
            9, 2, 32, 0, 1, 1, 0, 0xC0, 1,  9, 4, 0, 0, 2, interfaceClass, 1, 2, 0,
            7, 5, 0x01, 2, 0x00, 0x02, 0,   7, 5, 0x82, 2, 0x00, 0x02, 0};
}

// The first printer-class interface the services publish, opened for exclusive access; `interface` is empty
// when there is none or it cannot be opened. Closing it, the registration and the port are the caller's.
struct OpenedPrinter {
    IONotificationPortPtr port;
    IONotificationPtr matching;
    IOServicePtr service;
    IOUSBInterfaceInterfacePtr interface;

    explicit OpenedPrinter(const std::shared_ptr<USBServices>& services) {
        port = services->IONotificationPortCreate();
        MatchingDict printers;
        printers.bInterfaceClass = 7;
        IOIteratorPtr arrivals;
        bool pluginFailed = true;
        if (services->IOServiceAddMatchingNotification(port, kIOMatchedNotification, printers,
                                                       [](const IOIteratorPtr&) {}, &arrivals, &matching) ||
            !(service = arrivals->IOIteratorNext()) ||
            services->CreateInterfaceInterface(service, &interface, &pluginFailed) ||
            interface->USBInterfaceOpenSeize())
            interface.reset();
    }
    void close() {
        if (interface) interface->USBInterfaceClose();
        interface.reset();
        matching.reset();
        if (port) port->destroy();
        port.reset();
    }
};

class ScriptedPrinter : public VirtualDeviceHandler {
public:
    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        written_.emplace_back(data, data + length);
        return kIOReturnSuccess;
    }
    IOReturn bulkIn(std::vector<uint8_t>& out, size_t, uint32_t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (replies_.empty()) return kIOReturnTimeout;
        out = std::move(replies_.front());
        replies_.pop_front();
        return kIOReturnSuccess;
    }
    IOReturn controlRequest(const IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!(setup.bmRequestType & 0x80)) return kIOReturnSuccess;
        if (setup.bmRequestType != 0xA1 || setup.bRequest != 0 || deviceID_.empty()) return kIOUSBPipeStalled;
        const size_t size = deviceID_.size() + 2;  // big-endian, counting itself
        in = {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
        in.insert(in.end(), deviceID_.begin(), deviceID_.end());
        return kIOReturnSuccess;
    }

    std::mutex mutex_;
    std::deque<std::vector<uint8_t>> replies_;
    std::vector<std::vector<uint8_t>> written_;
    std::string deviceID_;
};

class MockUsbfsDevice {
public:
    static constexpr size_t kUsbfsMemoryLimit = sim::UsbfsNode::kUsbfsMemoryLimit;

    MockUsbfsDevice(UMockdevTestbed* testbed, std::string devnode)
        : printer_(std::make_shared<ScriptedPrinter>()), node_(testbed, std::move(devnode), {}, printer_) {}

    template <class F> auto locked(F body) {
        std::lock_guard<std::mutex> lock(printer_->mutex_);
        return body();
    }

    // Scripting; any thread.
    void queueReply(std::vector<uint8_t> reply) { locked([&] { printer_->replies_.push_back(std::move(reply)); }); }
    // The IEEE-1284 device ID the printer class request GET_DEVICE_ID answers (none: the request stalls).
    void setDeviceID(std::string id) { locked([&] { printer_->deviceID_ = std::move(id); }); }
    void setLanguages(std::vector<uint16_t> languages) {
        description_.languages = std::move(languages);
        node_.setDescription(description_);
    }
    void setString(uint8_t index, const std::u16string& text) {
        description_.setString(index, text);
        node_.setDescription(description_);
    }
    void setDeviceDescriptor(std::vector<uint8_t> d) { node_.setDeviceDescriptor(std::move(d)); }
    void setClaimBusy(bool busy) { node_.setClaimBusy(busy); }
    void setOutAcceptLimit(std::optional<int> limit) { node_.setOutAcceptLimit(limit); }
    void setOutByteBudget(std::optional<size_t> bytes) { node_.setOutByteBudget(bytes); }
    void setOutDelay(std::chrono::milliseconds delay) { node_.setOutDelay(delay); }

    std::vector<std::string> calls() { return node_.calls(); }
    std::vector<std::vector<uint8_t>> written() { return locked([&] { return printer_->written_; }); }
    bool driverBound() { return node_.driverBound(); }
    int controlRequests() { return node_.controlRequests(); }

private:
    std::shared_ptr<ScriptedPrinter> printer_;
    VirtualDeviceDescription description_;
    sim::UsbfsNode node_;
};

}  // namespace ovn::usb::test
