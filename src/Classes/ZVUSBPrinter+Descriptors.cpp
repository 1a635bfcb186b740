// USB string descriptors (language choice, decoding, the three identity strings), vendor-name
// normalisation, printer soft reset, device reset and re-enumeration.
#include <algorithm>
#include <array>
#include <cctype>

#include "Classes/ZVUSBPrinter.h"
#include "platform/SystemLog.h"
#include "support/CodeNames.h"
#include "usb/USBFunctions.h"

using ovn::SysLog;
using namespace ovn::usb;

namespace {

constexpr uint16_t kDescriptorBufferSize = 256;
constexpr uint8_t kUSBDescriptorTypeDeviceQualifier = 6;
constexpr uint8_t kPrinterClassRequestOut = 0x21;       // class request, host to device, recipient interface
constexpr uint8_t kPrinterClassRequestOutOther = 0x23;  // class request, host to device, recipient other
constexpr uint8_t kPrinterSoftReset = 2;

IOReturn issueRequest(const IOUSBInterfaceInterfacePtr& interface, IOUSBDevRequestTO& request) {
    IOReturn result = interface->ControlRequestTO(0, &request);
    request.wLenDone = std::min<uint32_t>(request.wLenDone, request.wLength);
    return result;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

size_t characterCount(const std::string& utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Languages

std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinter::langIds() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (langIds_) return langIds_;
    }
    InterfacePtr interface = interfaceInterface();
    if (!interface) return std::nullopt;

    std::array<uint8_t, kDescriptorBufferSize> buffer{};
    IOUSBDevRequestTO request;
    request.bmRequestType = kUSBStandardDeviceIn;
    request.bRequest = kUSBRqGetDescriptor;
    request.wValue = kUSBStringDescriptorValue;
    request.wIndex = 0;
    request.wLength = kDescriptorBufferSize;
    request.pData = buffer.data();
    request.noDataTimeout = 500;
    request.completionTimeout = 2000;
    IOReturn result = issueRequest(interface, request);
    if (result != kIOReturnSuccess || request.wLenDone < 4) return std::nullopt;

    auto entries = languageListEntries(std::span<const uint8_t>(buffer.data(), request.wLenDone));
    IndexSet set(entries.begin(), entries.end());
    uint16_t choice = preferredLanguage(entries);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!langIds_) {
        langIds_ = set;
        langId_ = choice;
    }
    return langIds_;
}

uint16_t ZVUSBPrinter::langId() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (langId_ != 0) return langId_;
    }
    langIds();
    std::lock_guard<std::mutex> lock(mutex_);
    return langId_;
}

void ZVUSBPrinter::setLangId(uint16_t language) {
    auto offered = langIds();
    if (!offered || !offered->count(language)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    langId_ = language;
}

// ---------------------------------------------------------------------------------------------------------
// Strings

ZVUSBPrinter::Text ZVUSBPrinter::descriptorStringAtIndex(int64_t index) {
    InterfacePtr interface = interfaceInterface();
    if (index == 0 || !interface) return std::nullopt;

    uint16_t language = langId();
    std::array<uint8_t, kDescriptorBufferSize> buffer{};
    IOUSBDevRequestTO request;
    request.bmRequestType = kUSBStandardDeviceIn;
    request.bRequest = kUSBRqGetDescriptor;
    request.wValue = static_cast<uint16_t>(kUSBStringDescriptorValue | (static_cast<uint64_t>(index) & 0xFF));
    request.wIndex = language;
    request.wLength = kDescriptorBufferSize;
    request.pData = buffer.data();
    request.noDataTimeout = 500;
    request.completionTimeout = 1000;
    IOReturn result = issueRequest(interface, request);
    if (result != kIOReturnSuccess || request.wLenDone < 2) return std::nullopt;

    std::span<const uint8_t> received(buffer.data(), request.wLenDone);
    const uint8_t length = received[0];
    const uint8_t type = received[1];
    if (type != kUSBStringDescriptorType) {
        SysLog("The device returned a string descriptor with the incorrect descriptor type(returned %x (should be "
               "%x))\n",
               type, kUSBStringDescriptorType);
        // Some devices answer with a device-qualifier header followed by plain UTF-8 text.
        size_t offset = (static_cast<size_t>(length) + 1) * 2;
        if (type != kUSBDescriptorTypeDeviceQualifier || offset >= kDescriptorBufferSize || offset >= received.size())
            return std::nullopt;
        auto begin = received.begin() + static_cast<std::ptrdiff_t>(offset);
        auto end = std::find(begin, received.end(), uint8_t{0});
        std::string text(begin, end);
        if (!isValidUTF8(text)) return std::nullopt;
        return text;
    }
    return decodeStringDescriptor(received);
}

void ZVUSBPrinter::storeUSBString(const char* key, Text ZVUSBPrinter::*field, const Text& value, const char* logPrefix) {
    performSyncOnMainQueue([this, key, field, &value] { setTextProperty(key, field, value); });
    SysLog("%s%s", logPrefix, value ? value->c_str() : "(null)");
}

void ZVUSBPrinter::getUSBVendorString() {
    performInlineOnCommandQueue([this] {
        DevicePtr device = deviceInterface();
        if (!device) return;
        uint8_t index = 0;
        IOReturn result = device->USBGetManufacturerStringIndex(&index);
        if (result != kIOReturnSuccess) {
            SysLog("USBGetManufacturerStringIndex() returned %s\n", strForIOReturn(result));
            return;
        }
        Text text = normalizedVendorString(descriptorStringAtIndex(index));
        storeUSBString("vendorUSB", &ZVUSBPrinter::vendorUSB_, text, "got USB vendor:");
    });
}

void ZVUSBPrinter::getUSBProductString() {
    performInlineOnCommandQueue([this] {
        DevicePtr device = deviceInterface();
        if (!device) return;
        uint8_t index = 0;
        IOReturn result = device->USBGetProductStringIndex(&index);
        if (result != kIOReturnSuccess) {
            SysLog("USBGetProductStringIndex() returned %s\n", strForIOReturn(result));
            return;
        }
        Text text = descriptorStringAtIndex(index);
        storeUSBString("productUSB", &ZVUSBPrinter::productUSB_, text, "got USB product:");
    });
}

void ZVUSBPrinter::getUSBSerialNumberString() {
    performInlineOnCommandQueue([this] {
        DevicePtr device = deviceInterface();
        if (!device) return;
        uint8_t index = 0;
        IOReturn result = device->USBGetSerialNumberStringIndex(&index);
        if (result != kIOReturnSuccess) {
            SysLog("USBGetSerialNumberStringIndex() returned %s\n", strForIOReturn(result));
            return;
        }
        Text text = descriptorStringAtIndex(index);
        storeUSBString("serialNumberUSB", &ZVUSBPrinter::serialNumberUSB_, text, "got USB Serial Number:");
    });
}

ZVUSBPrinter::Text ZVUSBPrinter::normalizedVendorString(const Text& vendor) {
    if (!vendor || characterCount(*vendor) <= 2) return vendor;
    if (equalsIgnoringCase(*vendor, "Orvane Imaging") || equalsIgnoringCase(*vendor, "Orvane Imaging "))
        return std::string("OVN");
    if (equalsIgnoringCase(*vendor, "HEWLETT-PACKARD")) return std::string("HP");
    return vendor;
}

// ---------------------------------------------------------------------------------------------------------
// Reset and re-enumeration

IOReturn ZVUSBPrinter::resetUSBPrinter(bool classSpecific) {
    InterfacePtr interface = interfaceInterface();
    SysLog("attempting soft reset of USB device with interface [%p]\n", static_cast<void*>(interface.get()));
    if (!interface) return kIOReturnNoDevice;
    uint8_t interfaceNumber = 0;
    IOReturn result = interface->GetInterfaceNumber(&interfaceNumber);
    if (result != kIOReturnSuccess) return result;
    IOUSBDevRequestTO request;
    request.bmRequestType = classSpecific ? kPrinterClassRequestOutOther : kPrinterClassRequestOut;
    request.bRequest = kPrinterSoftReset;
    request.wValue = 0;
    request.wIndex = interfaceNumber;
    request.wLength = 0;
    request.pData = nullptr;
    request.noDataTimeout = 100;
    request.completionTimeout = 100;
    return interface->ControlRequestTO(0, &request);
}

IOReturn ZVUSBPrinter::resetUSBDevice() {
    DevicePtr device = deviceInterface();
    if (!device) return kIOReturnError;
    IOReturn result = device->USBDeviceOpen();
    if (result != kIOReturnSuccess) return result;
    result = device->ResetDevice();
    device->USBDeviceClose();
    return result;
}

IOReturn ZVUSBPrinter::reEnumerateUSBDevice() {
    DevicePtr device = deviceInterface();
    if (!device) return kIOReturnError;
    IOReturn result = device->USBDeviceOpen();
    if (result != kIOReturnSuccess) return result;
    result = device->USBDeviceReEnumerate(0);
    if (result == kIOReturnSuccess)
        SysLog("Successfully reenumerated %s", descriptionUTF8().c_str());
    else
        SysLog("Failed to reenumerate %s (%s)", descriptionUTF8().c_str(), strForIOReturn(result));
    device->USBDeviceClose();
    return result;
}
