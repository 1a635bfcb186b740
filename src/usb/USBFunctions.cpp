#include "usb/USBFunctions.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "platform/SystemLog.h"
#include "support/CodeNames.h"
#include "support/QELMOR_NSStringAdditions.h"

using ovn::SysLog;
using ovn::StdErr;
using namespace ovn::usb;

namespace ovn::usb {

std::vector<uint16_t> languageListEntries(std::span<const uint8_t> received) {
    std::vector<uint16_t> entries;
    if (received.size() < 4) return entries;
    size_t end = std::min<size_t>(received[0], received.size());
    for (size_t offset = 2; offset + 1 < end; offset += 2)
        entries.push_back(static_cast<uint16_t>(received[offset] | (received[offset + 1] << 8)));
    return entries;
}

uint16_t preferredLanguage(const std::vector<uint16_t>& languages) {
    constexpr uint16_t kPrimaryMask = 0x03FF;
    constexpr uint16_t kSubLanguageMask = 0xFC00;
    constexpr uint16_t kEnglish = 0x09;
    bool haveChoice = false;
    uint16_t choice = 0;
    for (uint16_t language : languages) {
        if (!haveChoice) {
            choice = language;
            haveChoice = true;
            continue;
        }
        if ((language & kPrimaryMask) != kEnglish) continue;
        bool choiceIsEnglish = (choice & kPrimaryMask) == kEnglish;
        if (!choiceIsEnglish || (language & kSubLanguageMask) < (choice & kSubLanguageMask)) choice = language;
    }
    return choice;
}

std::optional<std::string> utf16LEToUTF8(std::span<const uint8_t> bytes) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    return QELMOR_NSStringAdditions::decodeUTF16(bytes, false);
}

bool isValidUTF8(std::string_view bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        auto c = static_cast<uint8_t>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t cp;
        uint32_t minimum;
        if ((c & 0xE0) == 0xC0) {
            length = 2, cp = c & 0x1F, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, cp = c & 0x0F, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, cp = c & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (size_t k = 1; k < length; ++k) {
            auto cc = static_cast<uint8_t>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::optional<std::string> decodeStringDescriptor(std::span<const uint8_t> received) {
    if (received.size() < 2) return std::nullopt;
    size_t n = std::min<size_t>(received[0], received.size());
    n &= ~size_t{1};
    // Trailing NUL code units are padding some devices send; a code unit that merely has a zero low byte
    // (U+0100, U+4E00, ...) is a real character and stays.
    while (n >= 4 && received[n - 2] == 0 && received[n - 1] == 0) n -= 2;
    if (n < 4) return std::nullopt;
    return utf16LEToUTF8(received.subspan(2, n - 2));
}

}  // namespace ovn::usb

namespace {

IOReturn controlRequest(const IOUSBInterfaceInterfacePtr& interface, uint8_t type, uint8_t request, uint16_t value,
                        uint16_t index, void* data, uint16_t length, uint32_t noDataTimeout,
                        uint32_t completionTimeout, uint32_t* lengthDone) {
    IOUSBDevRequestTO req;
    req.bmRequestType = type;
    req.bRequest = request;
    req.wValue = value;
    req.wIndex = index;
    req.wLength = length;
    req.pData = data;
    req.noDataTimeout = noDataTimeout;
    req.completionTimeout = completionTimeout;
    IOReturn result = interface->ControlRequestTO(0, &req);
    if (lengthDone) *lengthDone = std::min<uint32_t>(req.wLenDone, length);
    return result;
}

}  // namespace

IOReturn usbInterfaceGetDeviceDescriptor(const IOUSBInterfaceInterfacePtr& interface, void* buffer, uint16_t length) {
    if (!interface || !buffer || length == 0) {
        SysLog("Passed a NULL pointer or zero length into usbInterfaceGetDeviceDescriptor.\n");
        return kIOReturnBadArgument;
    }
    uint32_t done = 0;
    IOReturn result = controlRequest(interface, kUSBStandardDeviceIn, kUSBRqGetDescriptor, kUSBDeviceDescriptorValue,
                                     0, buffer, length, 100, 100, &done);
    if (result == kIOReturnSuccess && done < length) return kIOReturnUnderrun;
    return result;
}

IOReturn usbInterfaceGetiDeviceIndices(const IOUSBInterfaceInterfacePtr& interface, uint64_t* manufacturerIndex,
                                       uint64_t* productIndex, uint64_t* serialIndex) {
    if (!interface) return kIOReturnBadArgument;
    std::array<uint8_t, 18> descriptor{};
    IOReturn result = usbInterfaceGetDeviceDescriptor(interface, descriptor.data(), descriptor.size());
    bool ok = result == kIOReturnSuccess;
    if (manufacturerIndex) *manufacturerIndex = ok ? descriptor[14] : 0;
    if (productIndex) *productIndex = ok ? descriptor[15] : 0;
    if (serialIndex) *serialIndex = ok ? descriptor[16] : 0;
    return result;
}

IOReturn usbInterfaceGetDescriptorStringCopy(const IOUSBInterfaceInterfacePtr& interface, uint8_t index,
                                             std::optional<std::string>* text) {
    if (!interface || !text || index == 0) {
        SysLog("Passed a NULL pointer or zero index into usbInterfaceGetDescriptorStringCopy.\n");
        return kIOReturnBadArgument;
    }
    text->reset();

    std::array<uint8_t, 256> buffer{};
    uint32_t done = 0;
    uint16_t language = 0;
    IOReturn result = controlRequest(interface, kUSBStandardDeviceIn, kUSBRqGetDescriptor, kUSBStringDescriptorValue,
                                     0, buffer.data(), buffer.size(), 1, 0, &done);
    if (result == kIOReturnSuccess && done >= 4) {
        auto entries = languageListEntries(std::span<const uint8_t>(buffer.data(), done));
        bool english = false;
        for (uint16_t entry : entries) {
            if ((entry & 0xFF) == 0x09) {
                language = entry;
                english = true;
                if (entry == kUSBLanguageEnglishUS) break;
            }
        }
        if (!english && !entries.empty()) language = entries.front();
    }

    buffer.fill(0);
    done = 0;
    result = controlRequest(interface, kUSBStandardDeviceIn, kUSBRqGetDescriptor,
                            static_cast<uint16_t>(kUSBStringDescriptorValue | index), language, buffer.data(),
                            buffer.size(), 1, 0, &done);
    if (result == kIOReturnSuccess && done >= 2) *text = decodeStringDescriptor(std::span<const uint8_t>(buffer.data(), done));
    return result;
}

IOReturn usbInterfaceCreateSerialNumberString(const IOUSBInterfaceInterfacePtr& interface,
                                              std::optional<std::string>* text) {
    if (text) text->reset();
    if (!interface || !text) return kIOReturnBadArgument;

    uint64_t serialIndex = 0;
    IOReturn result = usbInterfaceGetiDeviceIndices(interface, nullptr, nullptr, &serialIndex);
    if (result != kIOReturnSuccess)
        SysLog("usbInterfaceGetiDeviceIndices returned %s [%.8x]\n", strForIOReturn(result),
               static_cast<uint32_t>(result));

    if (serialIndex > 0) {
        result = usbInterfaceGetDescriptorStringCopy(interface, static_cast<uint8_t>(serialIndex), text);
        if (result == kIOReturnOverrun) {
            StdErr("ERROR: usbInterfaceGetDescriptorStringCopy returned a truncated string[%d]\n"
                   "This USB device may be out of spec -- proceed with caution.\n",
                   result);
        } else if (result != kIOReturnSuccess) {
            StdErr("ERROR: usbInterfaceGetDescriptorStringCopy returned [%d]\n", result);
            text->reset();
        }
    }
    if (text->has_value()) return result;

    uint16_t vendor = 0, product = 0, release = 0;
    uint32_t location = 0;
    if ((result = interface->GetDeviceVendor(&vendor)) != kIOReturnSuccess) {
        StdErr("ERROR: calling %s returned %s\n", "GetDeviceVendor", strForIOReturn(result));
        return result;
    }
    if ((result = interface->GetDeviceProduct(&product)) != kIOReturnSuccess) {
        StdErr("ERROR: calling %s returned %s\n", "GetDeviceProduct", strForIOReturn(result));
        return result;
    }
    if ((result = interface->GetLocationID(&location)) != kIOReturnSuccess) {
        StdErr("ERROR: calling %s returned %s\n", "GetLocationID", strForIOReturn(result));
        return result;
    }
    if ((result = interface->GetDeviceReleaseNumber(&release)) != kIOReturnSuccess) {
        StdErr("ERROR: calling %s returned %s\n", "GetDeviceReleaseNumber", strForIOReturn(result));
        return result;
    }
    char formatted[64];
    std::snprintf(formatted, sizeof formatted, "%.4X%.4X%.4X;*LOC:%.8x", vendor, product, release, location);
    *text = std::string(formatted);
    return result;
}

IOReturn usbInterfaceResetUSBDevice(const IOUSBInterfaceInterfacePtr& interface) {
    if (!interface) return kIOReturnBadArgument;
    SysLog("attempting to reset USB device with interface [%p]\n", static_cast<void*>(interface.get()));

    IOServicePtr deviceService = interface->GetDevice();
    if (!deviceService) return kIOReturnNoDevice;

    auto services = USBServices::shared();
    if (!services) return kIOReturnNoResources;
    IOUSBDeviceInterfacePtr device;
    bool pluginFailed = false;
    IOReturn result = services->CreateDeviceInterface(deviceService, &device, &pluginFailed);
    if (pluginFailed) StdErr("ERROR: IOCreatePlugInInterfaceForService() returned [%d]\n", result);
    if (!device) return result != kIOReturnSuccess ? result : kIOReturnError;

    SysLog("ReEnumerating USB device [%p]\n", static_cast<void*>(device.get()));
    result = device->USBDeviceOpen();
    if (result == kIOReturnSuccess) {
        result = device->USBDeviceReEnumerate(0);
        if (result != kIOReturnSuccess) SysLog("Failed to reenumerate the device: [%s]\n", strForIOReturn(result));
    }
    device.reset();
    return result;
}
