// The status vocabulary and the conversions applied to reply texts.
//
// The raw status is read like atoi; the reference here is the C library's strtol, held to the 32-bit
// range. Every raw status maps to one text of the vocabulary; the other conversions must not fail on any
// text and keep their documented shapes.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>

#include "Classes/OVNProtocol.h"
#include "FuzzSupport.h"

namespace proto = ovn::protocol;

namespace {

const std::set<std::string>& vocabulary() {
    static const std::set<std::string> texts = {
        "Firmware Update Mode", "<NULL>", "Idle", "Printing", "Head cool down cycle", "Motor cool down cycle",
        "Sleeping (standby mode)", "Cover Open", "Scrap Box Missing", "Paper End", "Ribbon End", "Paper Jam",
        "Ribbon Error", "Wrong Paper", "Bad Data", "Head Voltage Error", "Head Position Error",
        "Power supply Error", "Cutter Error", "Pinch Roller Error", "Head Temp High Error", "Media Temp Error",
        "Motor Temp Error", "Ribbon Tension Error", "RFID Module Error", "System Fail Error", "Unknown Status"};
    return texts;
}

bool isTrimmedSpace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quietLogs();
    const std::string text(reinterpret_cast<const char*>(data), size);

    // The number, as atoi would read it (strtol stops at an embedded zero byte, like the reader at a
    // non-digit).
    errno = 0;
    long reference = std::strtol(text.c_str(), nullptr, 10);
    if (reference > INT_MAX) reference = INT_MAX;
    if (reference < INT_MIN) reference = INT_MIN;
    const int32_t value = proto::intValueOfText(text);
    FUZZ_CHECK(value == reference);

    const std::string status = proto::stringForDSStatusString(text);
    FUZZ_CHECK(vocabulary().count(status) == 1);
    if (text == proto::kRawStatusFirmwareUpdateMode) {
        FUZZ_CHECK(status == "Firmware Update Mode");
    } else {
        FUZZ_CHECK(status != "Firmware Update Mode" && status != "<NULL>");
        FUZZ_CHECK((status == "Idle") == (value == 0));
        FUZZ_CHECK(status == proto::stringForDSStatusString(std::to_string(value)));
    }
    FUZZ_CHECK(proto::stringForDSStatusString(std::nullopt) == "<NULL>");

    // Trimming: a piece of the text, with no ASCII white space left at either end, and stable.
    const std::string trimmed = proto::trimWhitespaceAndNewlines(text);
    FUZZ_CHECK(text.find(trimmed) != std::string::npos);
    if (!trimmed.empty()) {
        FUZZ_CHECK(!isTrimmedSpace(static_cast<unsigned char>(trimmed.front())));
        FUZZ_CHECK(!isTrimmedSpace(static_cast<unsigned char>(trimmed.back())));
    }
    FUZZ_CHECK(proto::trimWhitespaceAndNewlines(trimmed) == trimmed);

    // The lifetime counter: "CL" and a number becomes the number's decimal text, anything else is kept.
    const std::string counter = proto::lifetimeCounterText(text);
    if (text.rfind("CL", 0) == 0) {
        FUZZ_CHECK(counter == std::to_string(proto::intValueOfText(std::string_view(text).substr(2))));
    } else {
        FUZZ_CHECK(counter == text);
    }

    (void)proto::boolValueOfText(text);
    return 0;
}
