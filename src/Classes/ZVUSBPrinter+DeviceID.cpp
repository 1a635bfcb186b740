// The IEEE-1284 device ID: the GET_DEVICE_ID request, its decoding, and the substring search it uses.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "Classes/ZVUSBPrinter.h"
#include "platform/SystemLog.h"
#include "support/CodeNames.h"
#include "usb/USBFunctions.h"

using ovn::SysLog;
using ovn::StdErr;
using namespace ovn::usb;

namespace {

constexpr uint32_t kDeviceIDBufferSize = 0xFFFF;
constexpr uint8_t kPrinterClassRequestIn = 0xA1;  // class request, device to host, recipient interface
constexpr uint8_t kPrinterGetDeviceID = 0;

// First occurrence of `needle` in `haystack` at or after `from`; npos when none.
size_t findText(const std::string& haystack, const std::string& needle, size_t from, bool caseInsensitive) {
    if (from > haystack.size()) return std::string::npos;
    if (!caseInsensitive) return haystack.find(needle, from);
    auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from), haystack.end(), needle.begin(),
                          needle.end(), [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    return it == haystack.end() && !needle.empty() ? std::string::npos
                                                   : static_cast<size_t>(it - haystack.begin());
}

// The search of both substring operations (prefix, then terminator after it).
std::optional<std::string> substringSearch(const std::string& s, const std::optional<std::string>& prefix,
                                           const std::optional<std::string>& terminator, uint64_t options,
                                           bool inclusive) {
    const bool caseInsensitive = (options & ZVUSBPrinter::kCaseInsensitiveSearch) != 0;
    const size_t n = s.size();
    size_t start = 0;
    size_t count = n;
    size_t searchFrom = 0;
    if (prefix) {
        size_t at = findText(s, *prefix, 0, caseInsensitive);
        if (at == std::string::npos) return std::nullopt;
        start = inclusive ? at : at + prefix->size();
        count = n - start;
        searchFrom = at + prefix->size();
    }
    if (terminator) {
        size_t at = findText(s, *terminator, searchFrom, caseInsensitive);
        if (at == std::string::npos) return std::nullopt;
        count = at - start + (inclusive ? terminator->size() : 0);
    }
    return s.substr(start, count);
}

}  // namespace

ZVUSBPrinter::Text ZVUSBPrinter::substringFromString(const Text& text, const Text& prefix, const Text& terminator,
                                                    uint64_t options, bool inclusive) {
    if (!text || text->empty()) return text;
    return substringSearch(*text, prefix, terminator, options, inclusive);
}

ZVUSBPrinter::Text ZVUSBPrinter::noninclusiveCaseInsensitiveSubstringFromString(const Text& text, const Text& prefix,
                                                                               const Text& terminator) {
    return substringFromString(text, prefix, terminator, kCaseInsensitiveSearch, false);
}

std::optional<std::string> ZVCFStringCreateSubstringFromPrefixToTerminatorWithOptions(
    const std::optional<std::string>& text, const std::optional<std::string>& prefix,
    const std::optional<std::string>& terminator, uint64_t options, bool inclusive) {
    if (!text) return std::nullopt;
    return substringSearch(*text, prefix, terminator, options, inclusive);
}

std::optional<std::string> ZVCFStringCreateSubstringFromPrefixToTerminator(const std::optional<std::string>& text,
                                                                          const std::optional<std::string>& prefix,
                                                                          const std::optional<std::string>& terminator) {
    return ZVCFStringCreateSubstringFromPrefixToTerminatorWithOptions(text, prefix, terminator,
                                                                      ZVUSBPrinter::kCaseInsensitiveSearch, false);
}

// ---------------------------------------------------------------------------------------------------------

void ZVUSBPrinter::update1284DeviceID(const DeviceIDCompletion& completion) {
    performInlineOnCommandQueue([this, completion] { fetch1284DeviceID(completion); });
}

void ZVUSBPrinter::fetch1284DeviceID(const DeviceIDCompletion& completion) {
    InterfacePtr interface = interfaceInterface();
    if (!interface) return;

    std::vector<uint8_t> buffer;
    try {
        buffer.assign(kDeviceIDBufferSize, 0);
    } catch (const std::bad_alloc&) {
        return;
    }

    uint8_t configuration = 0, interfaceNumber = 0, alternate = 0;
    IOReturn result = interface->GetConfigurationValue(&configuration);
    if (result != kIOReturnSuccess) {
        SysLog("%s returned %s [%x]\n", "GetConfigurationValue()", strForIOReturn(result), static_cast<unsigned>(result));
    } else if ((result = interface->GetInterfaceNumber(&interfaceNumber)) != kIOReturnSuccess) {
        StdErr("ERROR: %s returned %s [%x]\n", "GetInterfaceNumber()", strForIOReturn(result),
               static_cast<unsigned>(result));
    } else if ((result = interface->GetAlternateSetting(&alternate)) != kIOReturnSuccess) {
        StdErr("ERROR: %s returned %s [%x]\n", "GetAlternateSetting()", strForIOReturn(result),
               static_cast<unsigned>(result));
    }
    if (result != kIOReturnSuccess) {
        if (completion) completion(false, std::nullopt);
        return;
    }

    IOUSBDevRequestTO request;
    request.bmRequestType = kPrinterClassRequestIn;
    request.bRequest = kPrinterGetDeviceID;
    request.wValue = static_cast<uint16_t>(configuration - 1);
    request.wIndex = static_cast<uint16_t>((interfaceNumber << 8) | alternate);
    request.wLength = static_cast<uint16_t>(kDeviceIDBufferSize);
    request.pData = buffer.data();
    request.noDataTimeout = 100;
    request.completionTimeout = 100;
    result = interface->ControlRequestTO(0, &request);
    const size_t received = std::min<size_t>(request.wLenDone, kDeviceIDBufferSize);

    Text text;
    if (result == kIOReturnSuccess && received >= 2) {
        const unsigned length = (static_cast<unsigned>(buffer[0]) << 8) | buffer[1];
        SysLog("Found a %u character device ID ... \n", length);
        if (length == 0) {
            text = std::string("(null)");
        } else {
            // Text bytes run from offset 2 to the length field's end, never past what arrived, and stop at
            // an embedded zero byte.
            const size_t end = std::min<size_t>({length, kDeviceIDBufferSize - 1, received});
            std::string bytes;
            if (end > 2) {
                auto first = buffer.begin() + 2;
                auto last = std::find(first, buffer.begin() + static_cast<std::ptrdiff_t>(end), uint8_t{0});
                bytes.assign(first, last);
            }
            if (isValidUTF8(bytes)) text = std::move(bytes);
        }
    }
    buffer.clear();
    buffer.shrink_to_fit();

    bool success = false;
    if (text) {
        performSyncOnMainQueue([this, &text] { setRaw1284DeviceID(text); });
        success = true;
    }
    if (completion) completion(success, text);
}

void ZVUSBPrinter::decodeDeviceID(const Text& deviceID, const DecodedDeviceID& decoded) const {
    auto lookUp = [&deviceID](std::initializer_list<const char*> keys) -> Text {
        for (const char* key : keys) {
            Text value = noninclusiveCaseInsensitiveSubstringFromString(deviceID, std::string(key), std::string(";"));
            if (value) return value;
        }
        return std::nullopt;
    };
    Text manufacturer = lookUp({"MFG:", "MANUFACTURER:"});
    Text model = lookUp({"MDL:", "MODEL:"});
    Text serial = lookUp({"SERN:"});
    Text description = lookUp({"DESCRIPTION:", "DES:"});
    if (!manufacturer) manufacturer = std::string("unknown");
    if (!model) model = std::string("unknown");
    if (!serial) serial = serialNumberUSB();
    manufacturer = normalizedVendorString(manufacturer);
    if (decoded) decoded(*manufacturer, *model, serial, description);
}
