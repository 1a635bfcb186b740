// The S-record line check of firmware images, against a plain line-by-line model of its rules, the padding
// to whole 32-bit words, and the image the upload sends: read from a file into one buffer with room for the
// frame header, checked, padded and framed in place.
//
// The model: trailing zero bytes are not text; any other zero byte fails the file; the text is split at LF,
// VT, FF, CR and the UTF-8 forms of U+0085, U+2028, U+2029; empty lines are skipped; every other line must
// be "S", a digit, a hex count c >= 1 and exactly c hex pairs (the last the ones' complement checksum of the
// count and the other pairs), optionally followed by one more ASCII character; any other byte above 0x7F
// fails; a file without a record fails. The production check walks the bytes once without splitting; the
// two must agree on every input.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Classes/OVNProtocol.h"
#include "Classes/OVNSRecord.h"
#include "FuzzSupport.h"

namespace srec = ovn::OVNSRecord;

namespace {

int hexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

size_t lineEnd(const std::vector<uint8_t>& b, size_t i) {
    if (b[i] >= 0x0A && b[i] <= 0x0D) return 1;
    if (b[i] == 0xC2 && i + 1 < b.size() && b[i + 1] == 0x85) return 2;
    if (b[i] == 0xE2 && i + 2 < b.size() && b[i + 1] == 0x80 && (b[i + 2] == 0xA8 || b[i + 2] == 0xA9)) return 3;
    return 0;
}

bool recordPasses(const std::vector<uint8_t>& line) {
    for (uint8_t c : line) {
        if (c == 0 || c >= 0x80) return false;
    }
    if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9') return false;
    const int c0 = hexDigit(line[2]), c1 = hexDigit(line[3]);
    if (c0 < 0 || c1 < 0) return false;
    const size_t count = static_cast<size_t>(c0 * 16 + c1);
    if (count == 0) return false;
    if (line.size() != 4 + 2 * count && line.size() != 5 + 2 * count) return false;
    unsigned sum = static_cast<unsigned>(count);
    for (size_t k = 0; k < count; ++k) {
        const int hi = hexDigit(line[4 + 2 * k]), lo = hexDigit(line[5 + 2 * k]);
        if (hi < 0 || lo < 0) return false;
        const unsigned pair = static_cast<unsigned>(hi * 16 + lo);
        if (k + 1 < count) {
            sum += pair;
        } else if (pair != (~sum & 0xFFu)) {
            return false;
        }
    }
    return true;
}

// Whether the model passes the file, and how many records it holds then.
std::optional<size_t> modelCheck(std::vector<uint8_t> bytes) {
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    size_t records = 0;
    std::vector<uint8_t> line;
    auto finishLine = [&]() {
        if (line.empty()) return true;
        ++records;
        bool ok = recordPasses(line);
        line.clear();
        return ok;
    };
    for (size_t i = 0; i < bytes.size();) {
        if (size_t k = lineEnd(bytes, i)) {
            if (!finishLine()) return std::nullopt;
            i += k;
        } else {
            line.push_back(bytes[i++]);
        }
    }
    if (!finishLine()) return std::nullopt;
    if (records == 0) return std::nullopt;
    return records;
}

// The same bytes as a firmware file: the image exists exactly when the check passes, and has the layout the
// frame builder takes over without copying.
void checkImageFile(const std::vector<uint8_t>& bytes, bool passed) {
    static const int fd = memfd_create("fuzz-image", 0);
    if (fd < 0) return;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const size_t headroom = bytes.empty() ? 0 : bytes.back() % 40;

    srec::ImageError error = srec::ImageError::None;
    std::optional<srec::FirmwareImage> image = srec::readFirmwareImage(path, headroom, &error);
    FUZZ_CHECK(image.has_value() == passed);
    if (!image) {
        FUZZ_CHECK(error == srec::ImageError::BadRecords);
        return;
    }
    FUZZ_CHECK(error == srec::ImageError::None);
    FUZZ_CHECK(image->fileLength() == bytes.size() && image->headroom() == headroom);
    const auto payload = image->payload();
    FUZZ_CHECK(payload.size() == srec::paddedLength(bytes.size()));
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), payload.begin()));
    FUZZ_CHECK(std::all_of(payload.begin() + static_cast<std::ptrdiff_t>(bytes.size()), payload.end(),
                           [](uint8_t b) { return b == 0; }));
    if (headroom != srec::kFrameHeaderLength) return;

    // The upload: the frame is built around the image in its own buffer.
    std::vector<uint8_t> buffer = image->takeBuffer();
    const uint8_t* const storage = buffer.data();
    ovn::protocol::FrameBuildResult frame = ovn::protocol::buildCommandFrame(
        ovn::protocol::kCmdFlashProgram, ovn::protocol::FramedPayload::adopt(std::move(buffer)));
    FUZZ_CHECK(frame.sendable && frame.payloadFieldSize == payload.size());
    FUZZ_CHECK(frame.frame.data() == storage);  // no copy of the image
    FUZZ_CHECK(frame.frame.size() == srec::kFrameHeaderLength + srec::paddedLength(bytes.size()));
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), frame.frame.begin() + srec::kFrameHeaderLength));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::quietLogs();
    const std::vector<uint8_t> bytes(data, data + size);

    const srec::SRecCheck check = srec::checkSRecData(std::span<const uint8_t>(bytes));
    const std::optional<size_t> model = modelCheck(bytes);
    FUZZ_CHECK(check.passed() == model.has_value());
    if (model) FUZZ_CHECK(check.records == *model);
    FUZZ_CHECK((check.result == srec::SRecCheck::Result::Empty) == (size == 0));
    if (check.result == srec::SRecCheck::Result::BadRecord || check.result == srec::SRecCheck::Result::DataAfterZero)
        FUZZ_CHECK(check.offset < size);
    FUZZ_CHECK(srec::verifySRecData(std::span<const uint8_t>(bytes)) == check.passed());
    FUZZ_CHECK(srec::verifyMotorolaSFile(std::span<const uint8_t>(bytes)) == check.passed());

    // Padding: the bytes unchanged, then zero bytes up to the next multiple of 4.
    std::optional<std::vector<uint8_t>> padded = srec::paddedData(bytes);
    FUZZ_CHECK(padded.has_value());
    FUZZ_CHECK(padded->size() == srec::paddedLength(size) && padded->size() % 4 == 0 && padded->size() - size < 4);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), padded->begin()));
    FUZZ_CHECK(std::all_of(padded->begin() + static_cast<std::ptrdiff_t>(size), padded->end(),
                           [](uint8_t b) { return b == 0; }));
    // An image that passed still passes once padded (the printer receives the padded bytes).
    if (check.passed()) FUZZ_CHECK(srec::checkSRecData(std::span<const uint8_t>(*padded)).passed());

    checkImageFile(bytes, check.passed());
    return 0;
}
