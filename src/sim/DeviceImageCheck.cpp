#include "sim/DeviceImageCheck.h"

#include <cstdio>
#include <vector>

namespace ovn::sim {

namespace {

int hexValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

ImageCheckResult failure(std::string why) {
    ImageCheckResult r;
    r.error = std::move(why);
    return r;
}

std::string recordError(size_t line, const std::string& why) {
    return "record on line " + std::to_string(line) + ": " + why;
}

// Address field size in bytes per record type; 0 for types the printer does not accept.
size_t addressBytes(uint8_t type) {
    switch (type) {
        case '0': case '1': case '5': case '9': return 2;
        case '2': case '6': case '8': return 3;
        case '3': case '7': return 4;
        default: return 0;
    }
}

}  // namespace

ImageCheckResult checkFirmwareImage(const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0) return failure("the image is empty");
    if (length % 4 != 0) {
        return failure("the image of " + std::to_string(length) + " bytes is not padded to a multiple of 4");
    }
    // Up to three zero bytes of padding end the image; no zero byte may appear elsewhere.
    size_t end = length;
    while (end > 0 && length - end < 3 && data[end - 1] == 0) --end;
    for (size_t i = 0; i < end; ++i) {
        if (data[i] == 0) {
            return failure("zero byte at offset " + std::to_string(i) + " inside the image (padding is at most 3 bytes)");
        }
    }

    ImageCheckResult result;
    size_t lineNo = 0;
    bool sawHeader = false;
    bool sawData = false;
    bool sawEnd = false;
    size_t pos = 0;
    while (pos < end) {
        size_t lineEnd = pos;
        while (lineEnd < end && data[lineEnd] != '\n' && data[lineEnd] != '\r') ++lineEnd;
        ++lineNo;
        const uint8_t* line = data + pos;
        size_t n = lineEnd - pos;
        // A CR LF pair ends one line.
        pos = lineEnd;
        if (pos < end && data[pos] == '\r') ++pos;
        if (pos < end && data[pos] == '\n') ++pos;
        if (n == 0) continue;

        if (sawEnd) return failure(recordError(lineNo, "record after the termination record"));
        if (n < 4 || line[0] != 'S') return failure(recordError(lineNo, "does not start with 'S' and a count"));
        uint8_t type = line[1];
        size_t addrBytes = addressBytes(type);
        if (addrBytes == 0) return failure(recordError(lineNo, std::string("record type '") +
                                                                   static_cast<char>(type) + "' is not accepted"));
        int hi = hexValue(line[2]);
        int lo = hexValue(line[3]);
        if (hi < 0 || lo < 0) return failure(recordError(lineNo, "count is not two hexadecimal digits"));
        size_t count = static_cast<size_t>(hi * 16 + lo);
        if (n != 4 + 2 * count) {
            return failure(recordError(lineNo, "count " + std::to_string(count) + " does not match the " +
                                                   std::to_string(n) + " characters of the record"));
        }
        if (count < addrBytes + 1) return failure(recordError(lineNo, "record too short for its address"));
        std::vector<uint8_t> bytes;
        bytes.reserve(count);
        unsigned sum = static_cast<unsigned>(count);
        for (size_t i = 0; i < count; ++i) {
            int h = hexValue(line[4 + 2 * i]);
            int l = hexValue(line[5 + 2 * i]);
            if (h < 0 || l < 0) return failure(recordError(lineNo, "non-hexadecimal character"));
            bytes.push_back(static_cast<uint8_t>(h * 16 + l));
        }
        for (size_t i = 0; i + 1 < count; ++i) sum += bytes[i];
        uint8_t expected = static_cast<uint8_t>(~sum & 0xFF);
        if (bytes.back() != expected) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "checksum %02X, expected %02X", bytes.back(), expected);
            return failure(recordError(lineNo, buf));
        }

        ++result.records;
        if (!sawHeader) {
            if (type != '0') return failure(recordError(lineNo, "the image does not start with an S0 header record"));
            sawHeader = true;
            std::string version;
            for (size_t i = addrBytes; i + 1 < count; ++i) {
                uint8_t c = bytes[i];
                if (c == 0) break;
                if (c < 0x20 || c > 0x7E) return failure(recordError(lineNo, "S0 header holds a non-printable byte"));
                version.push_back(static_cast<char>(c));
            }
            while (!version.empty() && version.back() == ' ') version.pop_back();
            if (version.empty()) return failure(recordError(lineNo, "S0 header names no firmware version"));
            result.version = version;
            continue;
        }
        switch (type) {
            case '0':
                return failure(recordError(lineNo, "second S0 header record"));
            case '1': case '2': case '3':
                sawData = true;
                result.dataBytes += count - addrBytes - 1;
                break;
            case '5': case '6':
                break;
            default:  // 7, 8, 9
                sawEnd = true;
                break;
        }
    }
    if (!sawHeader) return failure("the image holds no records");
    if (!sawData) return failure("the image holds no data records");
    if (!sawEnd) return failure("the image has no termination record (S7, S8 or S9)");
    result.ok = true;
    return result;
}

}  // namespace ovn::sim
