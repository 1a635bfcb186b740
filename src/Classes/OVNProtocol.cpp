#include "Classes/OVNProtocol.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace ovn::protocol {

namespace {

struct CommandRow {
    uint32_t code;
    std::string_view category;
    std::string_view subcommand;
};

constexpr std::string_view kSTATUS = "STATUS";
constexpr std::string_view kINFO = "INFO  ";
constexpr std::string_view kCNTRL = "CNTRL ";
constexpr std::string_view kIMAGE = "IMAGE ";
constexpr std::string_view kTBL_CL = "TBL_CL";
constexpr std::string_view kTBL_RD = "TBL_RD";
constexpr std::string_view kTBL_WT = "TBL_WT";
constexpr std::string_view kMNT_RD = "MNT_RD";
constexpr std::string_view kMNT_WT = "MNT_WT";
constexpr std::string_view kFW_UPD = "FW_UPD";

constexpr CommandRow kCommandTable[] = {
    {0, kSTATUS, ""},
    {1, kINFO, "FVER"},
    {2, kINFO, "SERIAL_NUMBER"},
    {4, kINFO, "MEDIA"},
    {7, kINFO, "FREE_PBUFFER"},
    {8, kINFO, "MQTY"},
    {11, kIMAGE, "MULTICUT"},
    {12, kCNTRL, "OVERCOAT"},
    {13, kIMAGE, "YPLANE"},
    {14, kIMAGE, "MPLANE"},
    {15, kIMAGE, "CPLANE"},
    {16, kCNTRL, "CUTTER"},
    {17, kCNTRL, "START"},
    {19, kTBL_CL, ""},
    {20, kTBL_WT, "CTRLD_UPDATE_CW"},
    {21, kTBL_RD, "Version"},
    {22, kTBL_WT, "Version"},
    {23, kMNT_RD, "CTRLD_CHKSUM"},
    {24, kTBL_RD, "CWD300_Version"},
    {25, kTBL_RD, "CWD600_Version"},
    {26, kTBL_RD, "CWD610_Version"},
    {27, kTBL_RD, "CWD620_Version"},
    {28, kTBL_RD, "CWD300_Checksum"},
    {29, kTBL_RD, "CWD600_Checksum"},
    {30, kTBL_RD, "CWD610_Checksum"},
    {31, kTBL_RD, "CWD620_Checksum"},
    {32, kMNT_RD, "COUNTER_LIFE"},
    {33, kMNT_RD, "COUNTER_A"},
    {34, kMNT_RD, "COUNTER_B"},
    {35, kMNT_WT, "COUNTER_CLR"},
    {36, kMNT_RD, "COUNTER_P"},
    {37, kMNT_WT, "COUNTERP_SET"},
    {38, kMNT_RD, "COUNTER_MATTE"},
    {39, kMNT_RD, "COUNTER_M"},
    {40, kFW_UPD, "FLASH_REWRITE"},
    {41, kFW_UPD, "FLASH_PROGRAM"},
    {42, kMNT_WT, "USB_ISERI_SET"},
    {43, kMNT_RD, "USB_ISERI_SET"},
};

bool isCSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

bool isAsciiText(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Writes the 32 header bytes of a frame whose buffer already holds 32 + n bytes.
void writeFrameHeader(std::vector<uint8_t>& buf, uint32_t code, size_t n, FrameBuildResult& result) {
    std::fill(buf.begin(), buf.begin() + kFrameHeaderSize, uint8_t{' '});
    buf[0] = 0x1B;
    buf[1] = 0x50;
    auto text = stringForCommandCode(code);
    if (text && isAsciiText(*text) && text->size() <= kFrameLengthOffset - kFrameCommandOffset) {
        std::memcpy(buf.data() + kFrameCommandOffset, text->data(), text->size());
        result.commandText = *text;
    } else {
        result.internalErrors.push_back(kInternalErrorCommandText);
    }
    if (n != 0) {
        char digits[32];
        int len = std::snprintf(digits, sizeof digits, "%08zu", n);
        if (len == static_cast<int>(kFrameLengthDigits)) {
            std::memcpy(buf.data() + kFrameLengthOffset, digits, kFrameLengthDigits);
        } else {
            result.internalErrors.push_back(kInternalErrorLengthField);
        }
    }
}

// Decodes the code point starting at `pos` (UTF-8); answers the code point and its length, or a length of 1
// and an impossible code point for a byte that starts no valid sequence.
std::pair<uint32_t, size_t> decodeAt(std::string_view s, size_t pos) {
    auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    uint8_t c = b(pos);
    if (c < 0x80) return {c, 1};
    size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || pos + len > s.size()) return {0xFFFFFFFFu, 1};
    uint32_t cp = c & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((b(pos + i) & 0xC0) != 0x80) return {0xFFFFFFFFu, 1};
        cp = (cp << 6) | (b(pos + i) & 0x3F);
    }
    return {cp, len};
}

bool isUnicodeWhitespace(uint32_t cp) {
    if (cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || cp == 0x85 || cp == 0xA0 || cp == 0x1680) return true;
    if (cp >= 0x2000 && cp <= 0x200A) return true;
    return cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------

std::optional<CommandInfo> commandInfo(uint32_t code) {
    for (const auto& row : kCommandTable) {
        if (row.code == code) return CommandInfo{row.category, row.subcommand};
    }
    return std::nullopt;
}

std::optional<std::string> stringForCommandCode(uint32_t code) {
    auto info = commandInfo(code);
    if (!info) return std::nullopt;
    std::string text(info->category);
    text += info->subcommand;
    return text;
}

bool hasFixedPayloadField(uint32_t code) {
    switch (code) {
        case 11: case 12: case 16: case 35: case 37: case 42:
            return true;
        default:
            return false;
    }
}

size_t payloadFieldSize(uint32_t code, size_t payloadLength) {
    switch (code) {
        case 11: case 12: case 16: case 37:
            return 8;
        case 35: case 42:
            return 4;
        case 13: case 14: case 15: case 20: case 22:
        case 24: case 25: case 26: case 27: case 28: case 29: case 30: case 31:
        case 41:
            return payloadLength;
        default:
            return 0;
    }
}

// ---------------------------------------------------------------------------------------------------------

FramedPayload::FramedPayload() : buffer_(kFrameHeaderSize, uint8_t{' '}) {}

FramedPayload::FramedPayload(std::span<const uint8_t> payload) : buffer_(kFrameHeaderSize, uint8_t{' '}) {
    buffer_.insert(buffer_.end(), payload.begin(), payload.end());
}

FramedPayload FramedPayload::adopt(std::vector<uint8_t>&& bufferWithHeaderRoom) {
    FramedPayload p;
    p.buffer_ = std::move(bufferWithHeaderRoom);
    if (p.buffer_.size() < kFrameHeaderSize) p.buffer_.resize(kFrameHeaderSize, uint8_t{' '});
    return p;
}

std::optional<FramedPayload> FramedPayload::withPayloadSize(size_t size) {
    try {
        FramedPayload p;
        p.buffer_.resize(kFrameHeaderSize + size, 0);
        return p;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
}

FrameBuildResult buildCommandFrame(uint32_t code, FramedPayload&& payload) {
    FrameBuildResult result;
    const size_t given = payload.payloadSize();
    const size_t n = payloadFieldSize(code, given);
    result.payloadFieldSize = n;
    if (n > kMaxPayloadFieldSize) {
        result.internalErrors.push_back(kInternalErrorLengthField);
        return result;
    }
    std::vector<uint8_t> buf = std::move(payload).release();
    try {
        if (hasFixedPayloadField(code) && given != n) {
            buf.assign(kFrameHeaderSize + n, 0);  // the field goes out as zero bytes
        } else {
            buf.resize(kFrameHeaderSize + n, 0);  // codes without a field drop the payload
        }
    } catch (const std::bad_alloc&) {
        return result;
    }
    writeFrameHeader(buf, code, n, result);
    result.frame = std::move(buf);
    result.sendable = true;
    return result;
}

FrameBuildResult buildCommandFrame(uint32_t code, std::span<const uint8_t> payload) {
    FrameBuildResult result;
    const size_t n = payloadFieldSize(code, payload.size());
    result.payloadFieldSize = n;
    if (n > kMaxPayloadFieldSize) {
        result.internalErrors.push_back(kInternalErrorLengthField);
        return result;
    }
    std::vector<uint8_t> buf;
    try {
        buf.assign(kFrameHeaderSize + n, 0);
    } catch (const std::bad_alloc&) {
        return result;
    }
    if (n != 0 && payload.size() == n) std::memcpy(buf.data() + kFrameHeaderSize, payload.data(), n);
    writeFrameHeader(buf, code, n, result);
    result.frame = std::move(buf);
    result.sendable = true;
    return result;
}

// ---------------------------------------------------------------------------------------------------------

ReplyReadResult readReply(const PipeReadFn& read) {
    ReplyReadResult result;
    if (!read) {
        result.readStatus = kIOReturnError;
        return result;
    }
    std::vector<uint8_t> buf(kReplyInitialBufferSize, 0);

    uint32_t got = kReplyHeaderSize;
    result.readStatus = read(buf.data(), &got);
    got = std::min(got, kReplyHeaderSize);
    result.headerBytes = got;
    if (result.readStatus != kIOReturnSuccess) {
        result.outcome = ReplyOutcome::HeaderReadFailed;
        return result;
    }

    // The header, parsed the way strtol reads base 10, over the eight header bytes only.
    buf[kReplyHeaderSize] = 0;
    size_t i = 0;
    while (i < kReplyHeaderSize && isCSpace(buf[i])) ++i;
    bool negative = false;
    if (i < kReplyHeaderSize && (buf[i] == '+' || buf[i] == '-')) {
        negative = buf[i] == '-';
        ++i;
    }
    int64_t value = 0;
    while (i < kReplyHeaderSize && isDigit(buf[i])) value = value * 10 + (buf[i++] - '0');
    if (negative) value = -value;
    const uint32_t length = static_cast<uint32_t>(static_cast<uint64_t>(value));
    result.bodyLength = length;
    if (length > kMaxReplyBodyLength) {
        result.outcome = ReplyOutcome::BodyTooLong;
        return result;
    }

    if (buf.size() < static_cast<size_t>(length) + 1) buf.resize(static_cast<size_t>(length) + 1, 0);
    got = length;
    result.readStatus = read(buf.data(), &got);
    got = std::min(got, length);
    result.bodyBytes = got;
    if (result.readStatus != kIOReturnSuccess) {
        result.outcome = ReplyOutcome::BodyReadFailed;
        return result;
    }
    buf[got] = 0;
    auto end = buf.begin() + got;
    auto cr = std::find(buf.begin(), end, uint8_t{0x0D});
    if (cr != end) {
        size_t pos = static_cast<size_t>(cr - buf.begin());
        buf.resize(pos + 1);
        buf[pos] = 0;
    }
    result.outcome = ReplyOutcome::Value;
    result.value = std::move(buf);
    return result;
}

bool isEmptyReply(const std::optional<std::vector<uint8_t>>& reply) { return !reply || reply->empty(); }

std::optional<std::string> replyText(const std::optional<std::vector<uint8_t>>& reply) {
    if (isEmptyReply(reply)) return std::nullopt;
    auto zero = std::find(reply->begin(), reply->end(), uint8_t{0});
    std::string text(reply->begin(), zero);
    // Only valid UTF-8 is text.
    for (size_t pos = 0; pos < text.size();) {
        auto [cp, len] = decodeAt(text, pos);
        if (cp == 0xFFFFFFFFu) return std::nullopt;
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            return std::nullopt;
        }
        pos += len;
    }
    return text;
}

// ---------------------------------------------------------------------------------------------------------

std::string stringForDSStatusString(const std::optional<std::string>& rawStatus) {
    if (rawStatus && *rawStatus == kRawStatusFirmwareUpdateMode) return "Firmware Update Mode";
    if (!rawStatus) return "<NULL>";
    switch (intValueOfText(*rawStatus)) {
        case 0: return "Idle";
        case 1: return "Printing";
        case 500: return "Head cool down cycle";
        case 510: return "Motor cool down cycle";
        case 900: return "Sleeping (standby mode)";
        case 1000: return "Cover Open";
        case 1010: return "Scrap Box Missing";
        case 1100: return "Paper End";
        case 1200: return "Ribbon End";
        case 1300: return "Paper Jam";
        case 1400: return "Ribbon Error";
        case 1500: return "Wrong Paper";
        case 1600: return "Bad Data";
        case 2000: return "Head Voltage Error";
        case 2100: return "Head Position Error";
        case 2200: return "Power supply Error";
        case 2300: return "Cutter Error";
        case 2400: return "Pinch Roller Error";
        case 2500: return "Head Temp High Error";
        case 2600: return "Media Temp Error";
        case 2610: return "Motor Temp Error";
        case 2700: return "Ribbon Tension Error";
        case 2800: return "RFID Module Error";
        case 3000: return "System Fail Error";
        default: return "Unknown Status";
    }
}

// ---------------------------------------------------------------------------------------------------------

int32_t intValueOfText(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isCSpace(static_cast<uint8_t>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    while (i < text.size() && isDigit(static_cast<uint8_t>(text[i]))) {
        value = value * 10 + (text[i++] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

bool boolValueOfText(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isCSpace(static_cast<uint8_t>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    char c = text[i];
    return (c >= '1' && c <= '9') || c == 'Y' || c == 'y' || c == 'T' || c == 't';
}

std::string trimWhitespaceAndNewlines(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        auto [cp, len] = decodeAt(text, begin);
        if (!isUnicodeWhitespace(cp)) break;
        begin += len;
    }
    size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last code point.
        size_t start = end - 1;
        while (start > begin && (static_cast<uint8_t>(text[start]) & 0xC0) == 0x80 && end - start < 4) --start;
        auto [cp, len] = decodeAt(text, start);
        if (start + len != end || !isUnicodeWhitespace(cp)) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string lifetimeCounterText(std::string_view reply) {
    if (reply.substr(0, 2) == "CL") return std::to_string(intValueOfText(reply.substr(2)));
    return std::string(reply);
}

// ---------------------------------------------------------------------------------------------------------

std::optional<std::array<uint8_t, 4>> counterResetPayload(char letter) {
    if (letter != 'A' && letter != 'B' && letter != 'M') return std::nullopt;
    return std::array<uint8_t, 4>{0x43, static_cast<uint8_t>(letter), 0x0D, 0x00};
}

std::array<uint8_t, 4> usbISerialWritePayload(bool enable) {
    return {0x30, static_cast<uint8_t>(enable ? 0x31 : 0x30), 0x0D, 0x00};
}

std::array<uint8_t, 4> commandPayloadForMediaSD() { return {'0', '0', '0', '1'}; }
std::array<uint8_t, 4> commandPayloadForMediaPP() { return {'0', '0', '0', '3'}; }

// ---------------------------------------------------------------------------------------------------------

namespace {

constexpr ColorTableQuery kVersionSingle[] = {
    {21, TableMedia::None, "colorTableVersion", "printer color table version: "},
};
constexpr ColorTableQuery kVersionTriple[] = {
    {26, TableMedia::None, "colorTableVersion610", "printer color table version 610: "},
    {25, TableMedia::None, "colorTableVersion600", "printer color table version 600: "},
    {24, TableMedia::None, "colorTableVersion", "printer color table version 300: "},
};
constexpr ColorTableQuery kVersionOctuple[] = {
    {27, TableMedia::SD, "colorTableVersion620", "printer color table version 620: "},
    {26, TableMedia::SD, "colorTableVersion610", "printer color table version 610: "},
    {25, TableMedia::SD, "colorTableVersion600", "printer color table version 600: "},
    {24, TableMedia::SD, "colorTableVersion", "printer color table version 300: "},
    {27, TableMedia::PP, "colorTableVersion620HD", "printer color table version 620HD: "},
    {26, TableMedia::PP, "colorTableVersion610HD", "printer color table version 610HD: "},
    {25, TableMedia::PP, "colorTableVersion600HD", "printer color table version 600HD: "},
    {24, TableMedia::PP, "colorTableVersion300HD", "printer color table version 300HD: "},
};
constexpr ColorTableQuery kChecksumSingle[] = {
    {23, TableMedia::None, "colorTableChecksum300", "printer color table checksum: "},
};
constexpr ColorTableQuery kChecksumTriple[] = {
    {30, TableMedia::None, "colorTableChecksum610", "printer color table CHECKSUM 610: "},
    {29, TableMedia::None, "colorTableChecksum600", "printer color table CHECKSUM 600: "},
    {28, TableMedia::None, "colorTableChecksum300", "printer color table CHECKSUM 300: "},
};
constexpr ColorTableQuery kChecksumOctuple[] = {
    {31, TableMedia::SD, "colorTableChecksum620", "printer color table CHECKSUM 620: "},
    {30, TableMedia::SD, "colorTableChecksum610", "printer color table CHECKSUM 610: "},
    {29, TableMedia::SD, "colorTableChecksum600", "printer color table CHECKSUM 600: "},
    {28, TableMedia::SD, "colorTableChecksum300", "printer color table CHECKSUM 300: "},
    {31, TableMedia::PP, "colorTableChecksum620HD", "printer color table CHECKSUM 620HD: "},
    {30, TableMedia::PP, "colorTableChecksum610HD", "printer color table CHECKSUM 610HD: "},
    {29, TableMedia::PP, "colorTableChecksum600HD", "printer color table CHECKSUM 600HD: "},
    {28, TableMedia::PP, "colorTableChecksum300HD", "printer color table CHECKSUM 300HD: "},
};

constexpr const char* kColorTableKeys[] = {
    "colorTableVersion",       "colorTableVersion600",    "colorTableVersion610",    "colorTableVersion620",
    "colorTableVersion300HD",  "colorTableVersion600HD",  "colorTableVersion610HD",  "colorTableVersion620HD",
    "colorTableChecksum300",   "colorTableChecksum600",   "colorTableChecksum610",   "colorTableChecksum620",
    "colorTableChecksum300HD", "colorTableChecksum600HD", "colorTableChecksum610HD", "colorTableChecksum620HD",
};

}  // namespace

ColorTableLayout colorTableLayoutForProduct(uint16_t productID) {
    switch (productID) {
        case kProductPL15: case kProductPL25: case kProductPLMV1: case kProductPL25Duplex:
            return ColorTableLayout::Single;
        case kProductPL35:
            return ColorTableLayout::Triple;
        case kProductPL45:
            return ColorTableLayout::Octuple;
        default:
            return ColorTableLayout::None;
    }
}

std::span<const ColorTableQuery> colorTableVersionQueries(ColorTableLayout layout) {
    switch (layout) {
        case ColorTableLayout::Single: return kVersionSingle;
        case ColorTableLayout::Triple: return kVersionTriple;
        case ColorTableLayout::Octuple: return kVersionOctuple;
        case ColorTableLayout::None: break;
    }
    return {};
}

std::span<const ColorTableQuery> colorTableChecksumQueries(ColorTableLayout layout) {
    switch (layout) {
        case ColorTableLayout::Single: return kChecksumSingle;
        case ColorTableLayout::Triple: return kChecksumTriple;
        case ColorTableLayout::Octuple: return kChecksumOctuple;
        case ColorTableLayout::None: break;
    }
    return {};
}

std::vector<uint8_t> mediaPayload(TableMedia media) {
    std::array<uint8_t, 4> p;
    switch (media) {
        case TableMedia::SD: p = commandPayloadForMediaSD(); break;
        case TableMedia::PP: p = commandPayloadForMediaPP(); break;
        case TableMedia::None: return {};
    }
    return {p.begin(), p.end()};
}

std::span<const char* const> colorTableKeys() { return kColorTableKeys; }

// ---------------------------------------------------------------------------------------------------------

ISerialSupport iSerialSupportForProduct(uint16_t productID) {
    switch (productID) {
        case kProductPLMV1: return ISerialSupport::FromFirmware204;
        case kProductPL35: case kProductPL45: return ISerialSupport::Always;
        default: return ISerialSupport::None;
    }
}

bool hasISerialSupport(uint16_t productID, double installedFirmwareVersion) {
    switch (iSerialSupportForProduct(productID)) {
        case ISerialSupport::Always: return true;
        case ISerialSupport::FromFirmware204: return installedFirmwareVersion >= 2.04;
        case ISerialSupport::None: break;
    }
    return false;
}

std::optional<std::string> imageNameForProduct(uint16_t productID) {
    switch (productID) {
        case kProductPL15: case kProductPL25: case kProductPL25Duplex: return "OVN_PL_Series";
        case kProductPLMV1: return "OVN_MV_Series";
        case kProductPL35: return "PL35A_LSide";
        case kProductPL45: return "PL45";
        default: return std::nullopt;
    }
}

}  // namespace ovn::protocol
