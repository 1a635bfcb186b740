#include "Classes/OVNSRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>

#include "Classes/OVNFirmwareCatalogue.h"
#include "platform/SystemLog.h"
#include "platform/Value.h"

namespace ovn::OVNSRecord {

namespace {

constexpr uint8_t kNotHex = 0x10;

constexpr std::array<uint8_t, 256> makeHexTable() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = kNotHex;
    for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    return t;
}
constexpr std::array<uint8_t, 256> kHex = makeHexTable();

// The length of the line end at p: LF, VT, FF, CR, and U+0085, U+2028, U+2029 in UTF-8; 0 for anything else.
inline size_t lineEndLength(const uint8_t* p, const uint8_t* end) {
    const uint8_t b = *p;
    if (b >= 0x0A && b <= 0x0D) return 1;
    if (b == 0xC2) return (end - p >= 2 && p[1] == 0x85) ? 2 : 0;
    if (b == 0xE2) return (end - p >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) ? 3 : 0;
    return 0;
}

// The reason a line failed, for the log: a zero byte inside it means the text went on after a zero byte.
SRecCheck failure(SRecCheck r, const uint8_t* begin, const uint8_t* line, const uint8_t* end) {
    for (const uint8_t* p = line; p < end && !lineEndLength(p, end); ++p) {
        if (*p == 0) {
            r.result = SRecCheck::Result::DataAfterZero;
            r.offset = static_cast<size_t>(p - begin);
            return r;
        }
    }
    r.result = SRecCheck::Result::BadRecord;
    r.offset = static_cast<size_t>(line - begin);
    return r;
}

const char* kVerificationFailed = "Bad firmware file! Verification failed!";

struct FileReadResult {
    ImageError error = ImageError::None;
    int errorNumber = 0;
    uint64_t size = 0;
};

// Reads the regular file at path whole into buffer, behind `headroom` zero bytes and followed by the zero
// padding to a multiple of 4. Files longer than `limit` are refused before anything is read.
FileReadResult readPadded(const std::string& path, size_t headroom, size_t limit, std::vector<uint8_t>& buffer) {
    FileReadResult r;
    // Non-blocking, so that a FIFO in place of the file cannot hang the open; regular files ignore the flag.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        r.errorNumber = errno;
        r.error = (errno == ENOENT || errno == ENOTDIR) ? ImageError::NotFound : ImageError::Unreadable;
        return r;
    }
    struct stat st {};
    const bool statFailed = ::fstat(fd, &st) != 0;
    if (statFailed || !S_ISREG(st.st_mode)) {
        r.errorNumber = statFailed ? errno : 0;  // 0: not a regular file
        r.error = ImageError::Unreadable;
        ::close(fd);
        return r;
    }
    r.size = static_cast<uint64_t>(st.st_size);
    if (r.size > limit) {
        r.error = ImageError::TooLarge;
        ::close(fd);
        return r;
    }
    const size_t length = static_cast<size_t>(r.size);
    try {
        buffer.assign(headroom + paddedLength(length), 0);
    } catch (const std::bad_alloc&) {
        r.errorNumber = ENOMEM;
        r.error = ImageError::Unreadable;
        ::close(fd);
        return r;
    }
    uint8_t* dst = buffer.data() + headroom;
    size_t done = 0;
    int readError = 0;
    while (done < length) {
        ssize_t n = ::read(fd, dst + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readError = errno;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    // A file that shrank or grew while it was read is not the file whose size was checked.
    if (done == length && readError == 0) {
        uint8_t probe = 0;
        ssize_t extra;
        do {
            extra = ::read(fd, &probe, 1);
        } while (extra < 0 && errno == EINTR);
        if (extra < 0) readError = errno;
        else if (extra > 0) readError = EAGAIN;
    } else if (readError == 0) {
        readError = EIO;
    }
    if (readError != 0) {
        r.errorNumber = readError;
        r.error = ImageError::Unreadable;
        buffer.clear();
        buffer.shrink_to_fit();
    }
    ::close(fd);
    return r;
}

int hexValue(char c) {
    uint8_t v = kHex[static_cast<uint8_t>(c)];
    return v == kNotHex ? -1 : v;
}

}  // namespace

SRecCheck checkSRecData(std::span<const uint8_t> bytes) {
    SRecCheck r;
    if (bytes.empty()) return r;
    const uint8_t* const begin = bytes.data();
    const uint8_t* end = begin + bytes.size();
    // Zero bytes at the end (a terminator, or padding already applied) are not part of the text.
    while (end > begin && end[-1] == 0) --end;

    const uint8_t* p = begin;
    for (;;) {
        // Line ends, including the empty lines between CR and LF.
        while (p < end) {
            const size_t k = lineEndLength(p, end);
            if (k == 0) break;
            p += k;
        }
        if (p == end) break;
        const uint8_t* const line = p;
        if (end - p < 4 || p[0] != 'S' || static_cast<unsigned>(p[1] - '0') > 9) return failure(r, begin, line, end);
        const uint8_t c0 = kHex[p[2]], c1 = kHex[p[3]];
        if ((c0 | c1) & kNotHex) return failure(r, begin, line, end);
        const unsigned count = (c0 << 4) | c1;
        const size_t recordLength = 4 + 2 * static_cast<size_t>(count);
        if (count == 0 || static_cast<size_t>(end - p) < recordLength) return failure(r, begin, line, end);

        // Every pair but the last is added to the sum; the last one is the checksum.
        const uint8_t* q = p + 4;
        unsigned sum = count;
        unsigned bad = 0;
        for (const uint8_t* last = q + 2 * (count - 1); q < last; q += 2) {
            const unsigned hi = kHex[q[0]], lo = kHex[q[1]];
            bad |= hi | lo;
            sum += (hi << 4) | lo;
        }
        const unsigned hi = kHex[q[0]], lo = kHex[q[1]];
        bad |= hi | lo;
        if ((bad & kNotHex) || ((hi << 4) | lo) != (~sum & 0xFFu)) return failure(r, begin, line, end);

        // After the checksum: the end of the text, a line end, or one ignored character and then one of these.
        p += recordLength;
        if (p < end && !lineEndLength(p, end)) {
            if (*p == 0 || *p >= 0x80) return failure(r, begin, line, end);
            ++p;
            if (p < end && !lineEndLength(p, end)) return failure(r, begin, line, end);
        }
        ++r.records;
    }
    r.result = r.records ? SRecCheck::Result::Passed : SRecCheck::Result::NoRecords;
    return r;
}

bool verifySRecData(std::span<const uint8_t> bytes) { return checkSRecData(bytes).passed(); }

bool verifyMotorolaSFile(std::span<const uint8_t> bytes) { return verifySRecData(bytes); }

bool verifyMotorolaSFile(const std::filesystem::path& path) {
    std::vector<uint8_t> buffer;
    FileReadResult r = readPadded(path.string(), 0, kMaxFirmwareFileLength, buffer);
    if (r.error != ImageError::None) return false;
    return verifySRecData(std::span<const uint8_t>(buffer).first(static_cast<size_t>(r.size)));
}

bool verifyMotorolaSFileURL(std::string_view url) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i]) return false;
    }
    std::string_view rest = url.substr(scheme.size());
    // An empty host or "localhost"; the path begins at the next slash.
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return false;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return false;
    std::string_view encoded = rest.substr(slash);
    if (size_t cut = encoded.find_first_of("?#"); cut != std::string_view::npos) encoded = encoded.substr(0, cut);
    std::string path;
    path.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            if (i + 2 >= encoded.size()) return false;
            int hi = hexValue(encoded[i + 1]), lo = hexValue(encoded[i + 2]);
            if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
            path += static_cast<char>((hi << 4) | lo);
            i += 2;
        } else {
            path += encoded[i];
        }
    }
    return verifyMotorolaSFile(std::filesystem::path(path));
}

std::optional<std::vector<uint8_t>> paddedData(std::optional<std::vector<uint8_t>> bytes) {
    if (!bytes || bytes->empty() || bytes->size() % 4 == 0) return bytes;
    const size_t oldLength = bytes->size();
    const size_t newLength = paddedLength(oldLength);
    bytes->resize(newLength, 0);
    SysLog("padding data of length %u to length %u", static_cast<unsigned>(oldLength),
           static_cast<unsigned>(newLength));
    return bytes;
}

std::vector<uint8_t> FirmwareImage::takeBuffer() {
    std::vector<uint8_t> out = std::move(buffer_);
    buffer_.clear();
    headroom_ = 0;
    fileLength_ = 0;
    return out;
}

struct ImageBuilder {
    static FirmwareImage make(std::vector<uint8_t>&& buffer, size_t headroom, size_t fileLength) {
        FirmwareImage image;
        image.buffer_ = std::move(buffer);
        image.headroom_ = headroom;
        image.fileLength_ = fileLength;
        return image;
    }
};

std::optional<FirmwareImage> readFirmwareImage(const std::string& path, size_t headroom, ImageError* error) {
    auto fail = [&](ImageError e) -> std::optional<FirmwareImage> {
        if (error) *error = e;
        SysLogText(kVerificationFailed);
        return std::nullopt;
    };
    std::vector<uint8_t> buffer;
    FileReadResult r = readPadded(path, headroom, kMaxFirmwareFileLength, buffer);
    switch (r.error) {
        case ImageError::None:
            break;
        case ImageError::NotFound:
            SysLog("firmware file %s not found", path.c_str());
            return fail(r.error);
        case ImageError::TooLarge:
            SysLog("firmware file %s is too large: %llu bytes, one frame takes at most %zu", path.c_str(),
                   static_cast<unsigned long long>(r.size), kMaxFirmwareFileLength);
            return fail(r.error);
        default:
            SysLog("could not read firmware file %s: %s", path.c_str(),
                   r.errorNumber ? strerror(r.errorNumber) : "not a regular file");
            return fail(ImageError::Unreadable);
    }
    const size_t length = static_cast<size_t>(r.size);
    SRecCheck check = checkSRecData(std::span<const uint8_t>(buffer).subspan(headroom, length));
    if (check.result != SRecCheck::Result::Passed) {
        // The user is told which line of which file, without -v too.
        const auto text = std::span<const uint8_t>(buffer).subspan(headroom, std::min(check.offset, length));
        const auto line = 1 + std::count(text.begin(), text.end(), uint8_t{'\n'});
        const bool empty = check.result == SRecCheck::Result::Empty;
        OVNFirmwareCatalogue::reportResourceProblem(std::filesystem::path(path).filename().string(),
                                                    empty ? "empty" : "bad S-record line " + std::to_string(line));
    }
    switch (check.result) {
        case SRecCheck::Result::Passed:
            break;
        case SRecCheck::Result::Empty:
            SysLog("firmware file %s is empty", path.c_str());
            return fail(ImageError::BadRecords);
        case SRecCheck::Result::NoRecords:
            SysLog("firmware file %s holds no S-records", path.c_str());
            return fail(ImageError::BadRecords);
        case SRecCheck::Result::DataAfterZero:
            SysLog("firmware file %s: zero byte followed by more data at offset %zu", path.c_str(), check.offset);
            return fail(ImageError::BadRecords);
        case SRecCheck::Result::BadRecord:
            SysLog("firmware file %s: bad S-record at offset %zu (after %zu good records)", path.c_str(),
                   check.offset, check.records);
            return fail(ImageError::BadRecords);
    }
    if (length % 4 != 0) {
        SysLog("padding data of length %u to length %u", static_cast<unsigned>(length),
               static_cast<unsigned>(paddedLength(length)));
    }
    if (error) *error = ImageError::None;
    return ImageBuilder::make(std::move(buffer), headroom, length);
}

std::optional<FirmwareImage> firmwareBlob(const DeviceInfoDict& info, size_t headroom, ImageError* error) {
    std::optional<std::string> first;
    if (auto value = info.get(cFirmwareFilenames)) {
        if (auto list = std::get_if<std::vector<std::string>>(&*value); list && !list->empty()) first = list->front();
    }
    if (!first) {
        SysLog("no firmware file recorded for this printer");
        if (error) *error = ImageError::NoFileList;
        SysLogText(kVerificationFailed);
        return std::nullopt;
    }
    std::optional<std::string> path = OVNFirmwareCatalogue::resourcePath(*first);
    if (!path) {
        SysLog("firmware file %s not found", first->c_str());
        if (error) *error = ImageError::NotFound;
        SysLogText(kVerificationFailed);
        return std::nullopt;
    }
    return readFirmwareImage(*path, headroom, error);
}

}  // namespace ovn::OVNSRecord
