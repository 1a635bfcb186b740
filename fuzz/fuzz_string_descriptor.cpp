// USB string descriptors and language lists, as the printer object reads them.
//
// Input, first byte modulo 3:
//   0  the rest is one received descriptor: the decoders (language list, preferred language, UTF-16 text)
//      are compared with models of the documented rules, and UTF-16 to UTF-8 must round-trip;
//   1  the printer object asks a device (its answers taken from the input) for its languages and a string
//      (descriptorStringAtIndex), so the request buffers and length handling of the object are exercised;
//   2  the same through the free function usbInterfaceGetDescriptorStringCopy.
#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Classes/ZVUSBPrinter.h"
#include "FuzzInterface.h"
#include "FuzzSupport.h"
#include "usb/USBFunctions.h"

namespace usb = ovn::usb;

namespace {

std::vector<uint16_t> modelLanguages(const std::vector<uint8_t>& d) {
    std::vector<uint16_t> out;
    if (d.size() < 4) return out;
    const size_t end = std::min<size_t>(d[0], d.size());
    for (size_t i = 2; i + 2 <= end; i += 2) out.push_back(static_cast<uint16_t>(d[i] | (d[i + 1] << 8)));
    return out;
}

uint16_t modelPreferred(const std::vector<uint16_t>& list) {
    if (list.empty()) return 0;
    uint16_t choice = list[0];
    for (size_t i = 1; i < list.size(); ++i) {
        const uint16_t l = list[i];
        if ((l & 0x3FF) != 0x09) continue;
        if ((choice & 0x3FF) != 0x09 || (l & 0xFC00) < (choice & 0xFC00)) choice = l;
    }
    return choice;
}

// UTF-8 back to UTF-16LE bytes (the input of a round trip is known to be well-formed).
std::vector<uint8_t> toUTF16LE(const std::string& s) {
    std::vector<uint8_t> out;
    auto unit = [&](uint32_t u) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    };
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<uint8_t>(s[i]);
        uint32_t cp;
        size_t n;
        if (b < 0x80) { cp = b; n = 1; }
        else if (b < 0xE0) { cp = b & 0x1F; n = 2; }
        else if (b < 0xF0) { cp = b & 0x0F; n = 3; }
        else { cp = b & 0x07; n = 4; }
        for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(0xD800 + (cp >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

std::optional<std::string> checkedUTF16(const std::vector<uint8_t>& bytes) {
    std::optional<std::string> text = usb::utf16LEToUTF8(bytes);
    if (text) {
        FUZZ_CHECK(fuzz::isWellFormedUTF8(*text));
        FUZZ_CHECK(toUTF16LE(*text) == bytes);
    }
    return text;
}

void fuzzDecoders(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> d(data, data + size);
    const std::span<const uint8_t> s(d);

    const std::vector<uint16_t> languages = usb::languageListEntries(s);
    FUZZ_CHECK(languages == modelLanguages(d));
    FUZZ_CHECK(usb::preferredLanguage(languages) == modelPreferred(languages));

    // The text: the length byte bounded by the bytes received and made even, trailing U+0000 units dropped,
    // at least one unit left, the units decoded.
    std::optional<std::string> expected;
    if (d.size() >= 2) {
        size_t n = std::min<size_t>(d[0], d.size()) & ~size_t{1};
        while (n >= 4 && d[n - 2] == 0 && d[n - 1] == 0) n -= 2;
        if (n >= 4) expected = checkedUTF16(std::vector<uint8_t>(d.begin() + 2, d.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    FUZZ_CHECK(usb::decodeStringDescriptor(s) == expected);

    // Any byte string as UTF-16: an odd length or an unpaired surrogate gives nothing, anything else
    // round-trips.
    std::optional<std::string> whole = checkedUTF16(d);
    if (d.size() % 2) FUZZ_CHECK(!whole);
    FUZZ_CHECK(usb::isValidUTF8(std::string(d.begin(), d.end())) ==
               fuzz::isWellFormedUTF8(std::string(d.begin(), d.end())));
}

// Input: the string index, the length n of the language list's answer, the language list's answer (control
// byte and n bytes), then the string's answer (control byte and the rest).
void fuzzPrinterObject(const uint8_t* data, size_t size) {
    if (size < 2) return;
    // Indices of 0x80 and above are sent as large negative numbers: only their low 8 bits may go out.
    int64_t index = data[0];
    if (index & 0x80) index -= int64_t{1} << 40;
    const size_t listLength = data[1];
    data += 2;
    size -= 2;
    auto printer = std::make_shared<ZVUSBPrinter>();
    auto interface = std::make_shared<fuzz::FuzzInterface>();
    interface->answers.push_back(fuzz::takeAnswer(data, size, listLength));
    interface->answers.push_back(fuzz::takeAnswer(data, size));
    printer->setInterfaceInterface(interface);

    ZVUSBPrinter::Text text = printer->descriptorStringAtIndex(index);
    if (index == 0) FUZZ_CHECK(interface->controlRequests == 0);
    if (text) {
        FUZZ_CHECK(fuzz::isWellFormedUTF8(*text));
        FUZZ_CHECK(interface->lastRequest.wValue == (0x0300 | (static_cast<uint64_t>(index) & 0xFF)));
        FUZZ_CHECK(interface->lastRequest.wLength == 256);
    }
    // A language list, once stored, is kept (no further request) and the chosen language is one of it.
    const auto first = printer->langIds();
    const int before = interface->controlRequests;
    const auto second = printer->langIds();
    if (first) {
        FUZZ_CHECK(interface->controlRequests == before);
        FUZZ_CHECK(second == first);
        FUZZ_CHECK(first->empty() ? printer->langId() == 0 : first->count(printer->langId()) == 1);
    }
    printer->setInterfaceInterface(nullptr);
}

// Input: as for the printer object.
void fuzzFreeFunction(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const uint8_t index = data[0];
    const size_t listLength = data[1];
    data += 2;
    size -= 2;
    auto fake = std::make_shared<fuzz::FuzzInterface>();
    fake->answers.push_back(fuzz::takeAnswer(data, size, listLength));
    fake->answers.push_back(fuzz::takeAnswer(data, size));
    ovn::usb::IOUSBInterfaceInterfacePtr interface = fake;
    std::optional<std::string> text = std::string("stale");
    const IOReturn result = usbInterfaceGetDescriptorStringCopy(interface, index, &text);
    if (index == 0) {
        FUZZ_CHECK(result == kIOReturnBadArgument);
        return;
    }
    // The out-text is cleared first and filled only by a successful request.
    if (text) {
        FUZZ_CHECK(fuzz::isWellFormedUTF8(*text));
        FUZZ_CHECK(result == kIOReturnSuccess);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quietLogs();
    if (size == 0) return 0;
    switch (data[0] % 3) {
        case 0: fuzzDecoders(data + 1, size - 1); break;
        case 1: fuzzPrinterObject(data + 1, size - 1); break;
        default: fuzzFreeFunction(data + 1, size - 1); break;
    }
    return 0;
}
