// Helpers shared by the USB tests: a scriptable device handler and main-queue pumping.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "usb/VirtualUSBBus.h"

namespace ovn::usb::test {

inline bool pumpUntil(const std::function<bool()>& done, int ms = 3000) {
    return MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}

inline void pumpFor(int ms) { MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

// A device side that records what it gets and answers from scripted replies.
class ScriptedDevice : public VirtualDeviceHandler {
public:
    void attached(VirtualUSBBus& bus, uint64_t deviceId) override {
        std::lock_guard<std::mutex> lock(mutex);
        (void)bus;
        attachedIds.push_back(deviceId);
    }

    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override {
        std::function<IOReturn(const std::vector<uint8_t>&)> hook;
        std::vector<uint8_t> bytes(data, data + length);
        {
            std::lock_guard<std::mutex> lock(mutex);
            written.push_back(bytes);
            outTimeouts.push_back(timeoutMs);
            hook = onBulkOut;
        }
        return hook ? hook(bytes) : kIOReturnSuccess;
    }

    IOReturn bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) override {
        std::function<IOReturn(std::vector<uint8_t>&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex);
            inTimeouts.push_back(timeoutMs);
            inMaxLengths.push_back(maxLength);
            ++bulkInCalls;
            hook = onBulkIn;
            if (!hook) {
                if (replies.empty()) return kIOReturnTimeout;
                out = replies.front();
                replies.pop_front();
                return kIOReturnSuccess;
            }
        }
        return hook(out);
    }

    IOReturn controlRequest(const IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override {
        std::lock_guard<std::mutex> lock(mutex);
        controls.push_back(setup);
        in = controlAnswer;
        return controlResult;
    }

    void queueReply(std::vector<uint8_t> reply) {
        std::lock_guard<std::mutex> lock(mutex);
        replies.push_back(std::move(reply));
    }

    std::mutex mutex;
    std::vector<uint64_t> attachedIds;
    std::vector<std::vector<uint8_t>> written;
    std::vector<uint32_t> outTimeouts;
    std::vector<uint32_t> inTimeouts;
    std::vector<size_t> inMaxLengths;
    int bulkInCalls = 0;
    std::deque<std::vector<uint8_t>> replies;
    std::vector<IOUSBDevRequestTO> controls;
    std::vector<uint8_t> controlAnswer;
    IOReturn controlResult = kIOReturnSuccess;
    std::function<IOReturn(const std::vector<uint8_t>&)> onBulkOut;
    std::function<IOReturn(std::vector<uint8_t>&)> onBulkIn;
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
