// The IEEE-1284 device ID: the GET_DEVICE_ID answer as the printer object reads it (length field, text
// bytes, UTF-8 check), its decoding into manufacturer, model, serial number and description, and the
// substring search behind the decoding.
//
// Input, first byte: bit 0 set feeds the rest to the printer object as the device's answer to
// GET_DEVICE_ID (a control byte, see takeAnswer, then the bytes with their big-endian length field); clear
// decodes the rest as a device ID text directly, then splits it at 0x01 bytes into text, prefix and
// terminator for the free substring functions. Results are compared with models written from the
// documented rules.
#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <string>

#include "Classes/ZVUSBPrinter.h"
#include "FuzzInterface.h"
#include "FuzzSupport.h"

namespace {

using Text = std::optional<std::string>;

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

size_t findFrom(const std::string& s, const std::string& needle, size_t from, bool caseInsensitive) {
    for (size_t i = from; i + needle.size() <= s.size(); ++i) {
        bool match = true;
        for (size_t k = 0; k < needle.size() && match; ++k) {
            match = caseInsensitive ? lower(s[i + k]) == lower(needle[k]) : s[i + k] == needle[k];
        }
        if (match) return i;
    }
    return std::string::npos;
}

// Prefix searched anywhere, terminator after it; either may be missing.
Text modelSubstring(const std::string& s, const Text& prefix, const Text& terminator, bool caseInsensitive,
                    bool inclusive) {
    size_t start = 0, count = s.size(), from = 0;
    if (prefix) {
        size_t at = findFrom(s, *prefix, 0, caseInsensitive);
        if (at == std::string::npos) return std::nullopt;
        start = inclusive ? at : at + prefix->size();
        count = s.size() - start;
        from = at + prefix->size();
    }
    if (terminator) {
        size_t at = findFrom(s, *terminator, from, caseInsensitive);
        if (at == std::string::npos) return std::nullopt;
        count = at - start + (inclusive ? terminator->size() : 0);
    }
    return s.substr(start, count);
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
    std::string bs(b);
    return a.size() == bs.size() && std::equal(a.begin(), a.end(), bs.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

void checkDecoding(const ZVUSBPrinter& printer, const std::string& id) {
    auto field = [&](std::initializer_list<const char*> keys) -> Text {
        for (const char* key : keys) {
            // The search answers an empty text unchanged: every key of an empty ID reads as empty.
            if (id.empty()) return std::string();
            if (Text v = modelSubstring(id, std::string(key), std::string(";"), true, false)) return v;
        }
        return std::nullopt;
    };
    std::string manufacturer = field({"MFG:", "MANUFACTURER:"}).value_or("unknown");
    const std::string model = field({"MDL:", "MODEL:"}).value_or("unknown");
    const Text serial = field({"SERN:"});
    const Text description = field({"DESCRIPTION:", "DES:"});
    size_t characters = std::count_if(manufacturer.begin(), manufacturer.end(),
                                      [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    if (characters > 2) {
        if (equalsIgnoringCase(manufacturer, "Orvane Imaging") || equalsIgnoringCase(manufacturer, "Orvane Imaging "))
            manufacturer = "OVN";
        else if (equalsIgnoringCase(manufacturer, "HEWLETT-PACKARD"))
            manufacturer = "HP";
    }

    int calls = 0;
    printer.decodeDeviceID(id, [&](const std::string& m, const std::string& mdl, const Text& s, const Text& d) {
        ++calls;
        FUZZ_CHECK(m == manufacturer);
        FUZZ_CHECK(mdl == model);
        FUZZ_CHECK(s == serial);  // no USB serial-number string to fall back on here
        FUZZ_CHECK(d == description);
    });
    FUZZ_CHECK(calls == 1);
    printer.decodeDeviceID(id, nullptr);
}

void fuzzRawAnswer(const uint8_t* data, size_t size) {
    auto printer = std::make_shared<ZVUSBPrinter>();
    auto interface = std::make_shared<fuzz::FuzzInterface>();
    interface->answers.push_back(fuzz::takeAnswer(data, size));
    printer->setInterfaceInterface(interface);

    int calls = 0;
    bool success = false;
    Text text;
    printer->update1284DeviceID([&](bool ok, const Text& t) {
        ++calls;
        success = ok;
        text = t;
    });
    FUZZ_CHECK(calls == 1);
    FUZZ_CHECK(interface->controlRequests == 1);
    const auto& rq = interface->lastRequest;
    FUZZ_CHECK(rq.bmRequestType == 0xA1 && rq.bRequest == 0 && rq.wValue == 0 && rq.wIndex == 0 &&
               rq.wLength == 0xFFFF);

    // What the text must be, from the bytes the device answered.
    Text expected;
    std::vector<uint8_t> buffer(0xFFFF, 0);
    std::copy(interface->lastBytes.begin(), interface->lastBytes.end(), buffer.begin());
    const size_t received = interface->lastLenDone;
    if (interface->lastStatus == kIOReturnSuccess && received >= 2) {
        const size_t length = (size_t{buffer[0]} << 8) | buffer[1];
        if (length == 0) {
            expected = std::string("(null)");
        } else {
            const size_t end = std::min<size_t>({length, 0xFFFE, received});
            std::string bytes;
            for (size_t i = 2; i < end && buffer[i] != 0; ++i) bytes += static_cast<char>(buffer[i]);
            if (fuzz::isWellFormedUTF8(bytes)) expected = bytes;
        }
    }
    FUZZ_CHECK(success == text.has_value());
    FUZZ_CHECK(text == expected);
    FUZZ_CHECK(printer->raw1284DeviceID() == text);
    if (text) checkDecoding(*printer, *text);

    printer->setInterfaceInterface(nullptr);
}

void fuzzText(const uint8_t* data, size_t size) {
    static const auto printer = std::make_shared<ZVUSBPrinter>();
    const std::string whole(reinterpret_cast<const char*>(data), size);
    checkDecoding(*printer, whole);

    // The same bytes as text, prefix and terminator (split at the first two 0x01 bytes), each possibly
    // missing (an empty piece stands for a missing one when its selector bit says so).
    std::string pieces[3];
    size_t k = 0;
    for (char c : whole) {
        if (c == '\x01' && k < 2) {
            ++k;
            continue;
        }
        pieces[k] += c;
    }
    const unsigned selector = whole.empty() ? 0 : static_cast<unsigned char>(whole.back());
    const Text text = (selector & 1) && pieces[0].empty() ? Text{} : Text{pieces[0]};
    const Text prefix = (selector & 2) ? Text{} : Text{pieces[1]};
    const Text terminator = (selector & 4) ? Text{} : Text{pieces[2]};
    const bool caseInsensitive = selector & 8;
    const bool inclusive = selector & 16;

    Text free = ZVCFStringCreateSubstringFromPrefixToTerminatorWithOptions(
        text, prefix, terminator, caseInsensitive ? ZVUSBPrinter::kCaseInsensitiveSearch : 0, inclusive);
    FUZZ_CHECK(free == (text ? modelSubstring(*text, prefix, terminator, caseInsensitive, inclusive) : Text{}));
    Text member = ZVUSBPrinter::substringFromString(
        text, prefix, terminator, caseInsensitive ? ZVUSBPrinter::kCaseInsensitiveSearch : 0, inclusive);
    FUZZ_CHECK(member == ((!text || text->empty()) ? text : free));
    FUZZ_CHECK(ZVCFStringCreateSubstringFromPrefixToTerminator(text, prefix, terminator) ==
               (text ? modelSubstring(*text, prefix, terminator, true, false) : Text{}));
    if (free) FUZZ_CHECK(text->find(*free) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quietLogs();
    if (size == 0) return 0;
    if (data[0] & 1) {
        fuzzRawAnswer(data + 1, size - 1);
    } else {
        fuzzText(data + 1, size - 1);
    }
    return 0;
}
