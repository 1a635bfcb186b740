// A USB interface handle whose control requests are answered with bytes taken from the fuzz input, so that
// the printer object's own descriptor and device-ID code reads them exactly as it would read a device's
// answer.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "usb/USBServices.h"

namespace fuzz {

struct ControlAnswer {
    IOReturn status = kIOReturnSuccess;
    std::vector<uint8_t> bytes;  // what the device sends (cut to the length asked for)
    bool shortCount = false;     // report half of the bytes as transferred
};

class FuzzInterface : public ovn::usb::IOUSBInterfaceInterface {
public:
    // Answers control requests in order; once they run out, requests time out.
    std::deque<ControlAnswer> answers;

    IOReturn ControlRequestTO(uint8_t, ovn::usb::IOUSBDevRequestTO* request) override {
        ++controlRequests;
        lastRequest = *request;
        lastStatus = kIOReturnTimeout;
        lastBytes.clear();
        lastLenDone = 0;
        if (answers.empty()) return kIOReturnTimeout;
        ControlAnswer a = std::move(answers.front());
        answers.pop_front();
        if (a.bytes.size() > request->wLength) a.bytes.resize(request->wLength);
        if (request->pData && !a.bytes.empty()) std::memcpy(request->pData, a.bytes.data(), a.bytes.size());
        request->wLenDone = static_cast<uint32_t>(a.shortCount ? a.bytes.size() / 2 : a.bytes.size());
        lastStatus = a.status;
        lastBytes = std::move(a.bytes);
        lastLenDone = request->wLenDone;
        return a.status;
    }

    IOReturn USBInterfaceOpenSeize() override { return kIOReturnSuccess; }
    IOReturn USBInterfaceClose() override { return kIOReturnSuccess; }
    IOReturn GetInterfaceClass(uint8_t* v) override { return set(v, uint8_t{7}); }
    IOReturn GetInterfaceSubClass(uint8_t* v) override { return set(v, uint8_t{1}); }
    IOReturn GetInterfaceProtocol(uint8_t* v) override { return set(v, uint8_t{2}); }
    IOReturn GetInterfaceNumber(uint8_t* v) override { return set(v, uint8_t{0}); }
    IOReturn GetAlternateSetting(uint8_t* v) override { return set(v, uint8_t{0}); }
    IOReturn GetConfigurationValue(uint8_t* v) override { return set(v, uint8_t{1}); }
    IOReturn GetDeviceVendor(uint16_t* v) override { return set(v, uint16_t{0x2A71}); }
    IOReturn GetDeviceProduct(uint16_t* v) override { return set(v, uint16_t{0x0106}); }
    IOReturn GetDeviceReleaseNumber(uint16_t* v) override { return set(v, uint16_t{0x0100}); }
    IOReturn GetLocationID(uint32_t* v) override { return set(v, uint32_t{0x14100000}); }
    IOReturn GetNumEndpoints(uint8_t* v) override { return set(v, uint8_t{0}); }
    IOReturn GetPipeProperties(uint8_t, uint8_t*, uint8_t*, uint8_t*, uint16_t*, uint8_t*) override {
        return kIOReturnNotOpen;
    }
    IOReturn WritePipeTO(uint8_t, const void*, uint32_t, uint32_t, uint32_t) override { return kIOReturnNotOpen; }
    IOReturn ReadPipeTO(uint8_t, void*, uint32_t* size, uint32_t, uint32_t) override {
        if (size) *size = 0;
        return kIOReturnNotOpen;
    }
    ovn::usb::IOServicePtr GetDevice() override { return nullptr; }

    // The last request as it was asked, and what it was answered.
    int controlRequests = 0;
    ovn::usb::IOUSBDevRequestTO lastRequest;
    IOReturn lastStatus = kIOReturnTimeout;
    std::vector<uint8_t> lastBytes;
    uint32_t lastLenDone = 0;

private:
    template <class T>
    static IOReturn set(T* out, T value) {
        if (!out) return kIOReturnBadArgument;
        *out = value;
        return kIOReturnSuccess;
    }
};

// An answer from the input: a control byte (bit 0: the request fails, bit 1: half the bytes are reported),
// then `length` bytes (all the rest when length is SIZE_MAX).
inline ControlAnswer takeAnswer(const uint8_t*& data, size_t& size, size_t length = SIZE_MAX) {
    ControlAnswer a;
    if (size == 0) {
        a.status = kIOReturnTimeout;
        return a;
    }
    const uint8_t control = *data++;
    --size;
    a.status = (control & 1) ? kIOReturnTimeout : kIOReturnSuccess;
    a.shortCount = control & 2;
    const size_t n = std::min(length, size);
    a.bytes.assign(data, data + n);
    data += n;
    size -= n;
    return a;
}

}  // namespace fuzz
