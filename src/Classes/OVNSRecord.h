// Motorola S-record firmware images: the line check that a firmware file must pass before it is sent, the
// padding to whole 32-bit words, and the image that the firmware upload sends as the payload of one frame.
//
// The printer receives the S-record text itself, not the binary it describes. The image ready for sending is
// the complete file contents, unchanged, followed by 0 to 3 zero bytes so that its length is a multiple of 4.
//
// Memory: an update holds the image at most twice (the image and, if the frame writer copies, the frame).
// `readFirmwareImage` reads the file straight into one buffer that already has room for the frame header in
// front of it and the zero padding behind it, checks the bytes in place and hands the buffer over without
// another copy:
//
//     buffer: [ headroom (kFrameHeaderLength zero bytes) | file contents | 0..3 zero bytes ]
//              ^ header()                                 ^ payload() ............................^
//
// The buffer from takeBuffer() has exactly the layout that FramedPayload::adopt (Classes/OVNProtocol.h) takes, so
// the frame is built around the image without copying it; a writer that copies takes payload() instead.
//
// Everything here is stateless and may run on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovn {

class DeviceInfoDict;

namespace OVNSRecord {

// The command frame header in front of every payload: ESC, "P", category, subcommand, eight-digit length.
inline constexpr size_t kFrameHeaderLength = 32;
// The frame's length field has eight decimal digits: a payload is at most this long.
inline constexpr size_t kMaxFramePayload = 99'999'999;
// The longest file that still fits one frame once padded (the largest multiple of 4 not above the limit).
inline constexpr size_t kMaxFirmwareFileLength = kMaxFramePayload / 4 * 4;

// The outcome of the line check, with where it stopped for the log.
struct SRecCheck {
    enum class Result {
        Passed,
        Empty,             // no bytes at all
        NoRecords,         // nothing but line ends and trailing zero bytes
        BadRecord,         // a line that is not a well-formed record with a correct checksum
        DataAfterZero,     // a zero byte followed by more text: the text would end there, unchecked bytes follow
    };
    Result result = Result::Empty;
    size_t offset = 0;  // byte offset of the failing line (or of the zero byte)
    size_t records = 0; // records that passed before the check stopped

    bool passed() const { return result == Result::Passed; }
};

// The line-by-line S-record check.
//
// The text is split into lines at every line-end character: LF, VT, FF, CR (U+000A..U+000D), and the UTF-8
// forms of U+0085, U+2028 and U+2029. Each of them ends a line, so CR LF leaves an empty line between the two;
// empty lines are skipped. Every other line must be a record:
//   "S", a record type digit "0".."9", a two-hex-digit count c (1..255), then exactly c byte pairs of hex
//   digits (upper or lower case) - address, data and, last, the checksum - and at most one further character
//   (a line of odd length), which is ignored. The checksum is the ones' complement of the low byte of the sum
//   of the count and every pair before it. A count of 0 never passes.
// The check stops at the first failing line. A file that ends with zero bytes (already padded) passes when
// the text in front of them passes; a zero byte followed by anything but zero bytes fails, because the bytes
// after it would be sent unchecked. A file without a single record fails. Any byte outside ASCII other than
// the three line ends above fails.
SRecCheck checkSRecData(std::span<const uint8_t> bytes);
inline SRecCheck checkSRecData(std::string_view text) {
    return checkSRecData(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// checkSRecData(bytes).passed().
bool verifySRecData(std::span<const uint8_t> bytes);
inline bool verifySRecData(std::string_view text) { return checkSRecData(text).passed(); }

// Obtains the bytes and applies verifySRecData: bytes as they are; the contents of the file at a path; the
// contents of the file that a "file://" URL names (percent escapes decoded). A file that cannot be read, is
// not a regular file or is longer than kMaxFirmwareFileLength, and any URL of another scheme, give no bytes
// and the answer false.
bool verifyMotorolaSFile(std::span<const uint8_t> bytes);
bool verifyMotorolaSFile(const std::filesystem::path& path);
bool verifyMotorolaSFileURL(std::string_view fileURL);

// The length rounded up to the next multiple of 4.
constexpr size_t paddedLength(size_t length) { return (length + 3) / 4 * 4; }

// Pads with zero bytes to a multiple of 4. Nothing stays nothing; empty bytes and lengths that already are a
// multiple of 4 come back unchanged and log nothing; otherwise logs "padding data of length %u to length %u".
// The bytes are taken by value so that a caller who moves them in gets them back without a copy.
std::optional<std::vector<uint8_t>> paddedData(std::optional<std::vector<uint8_t>> bytes);

// A checked firmware image in the buffer layout described at the top of this file.
class FirmwareImage {
public:
    FirmwareImage() = default;

    size_t headroom() const { return headroom_; }
    size_t fileLength() const { return fileLength_; }
    // File contents followed by the zero padding: what the firmware upload sends as its payload.
    std::span<const uint8_t> payload() const {
        return std::span<const uint8_t>(buffer_).subspan(headroom_);
    }
    // The reserved bytes in front of the payload (zero until the caller writes the frame header there).
    std::span<uint8_t> header() { return std::span<uint8_t>(buffer_).first(headroom_); }
    // Header space and payload together: a whole frame once the header is written.
    std::span<const uint8_t> frame() const { return buffer_; }
    // Hands the whole buffer (header space included) over without copying; the image is empty afterwards.
    std::vector<uint8_t> takeBuffer();
    // A copy of the payload alone, for callers that need bytes of their own.
    std::vector<uint8_t> payloadCopy() const { return std::vector<uint8_t>(payload().begin(), payload().end()); }

private:
    friend struct ImageBuilder;
    std::vector<uint8_t> buffer_;
    size_t headroom_ = 0;
    size_t fileLength_ = 0;
};

enum class ImageError {
    None,
    NoFileList,   // no recorded file list, or an empty one
    NotFound,     // the firmware file is not among the delivered data
    TooLarge,     // the padded image would not fit one frame
    Unreadable,   // it could not be opened or read whole, or changed while it was read
    BadRecords,   // the S-record check failed
};

// Reads the file at path into a buffer with `headroom` zero bytes in front, checks it with checkSRecData and
// pads it. Failures log a line that names the file and the reason, then "Bad firmware file! Verification
// failed!", and give nothing (never a partial image). A file too large for one frame is refused before it is
// read. Padding logs "padding data of length %u to length %u".
std::optional<FirmwareImage> readFirmwareImage(const std::string& path, size_t headroom = kFrameHeaderLength,
                                               ImageError* error = nullptr);

// The image of the firmware file of the recorded file list: the first name under "firmwareFilenames" in the
// device-info dictionary, looked up among the delivered data and read with readFirmwareImage. It does not run
// the archive check; callers run it first and treat a missing image as a damaged file set. Every failure,
// including a missing list or file, logs "Bad firmware file! Verification failed!" and gives nothing.
std::optional<FirmwareImage> firmwareBlob(const DeviceInfoDict& info, size_t headroom = kFrameHeaderLength,
                                          ImageError* error = nullptr);

}  // namespace OVNSRecord
}  // namespace ovn
