// The OVN vendor command protocol, as pure functions: the command table, command frames, the reply reader,
// the status vocabulary, the per-model tables (colour-table layouts, USB iSerial support, pictures) and the
// text conversions the printer class applies to reply texts.
//
// Nothing here touches USB, queues or logs: the printer class (ZVUSBPrinterOVN) does the I/O and the
// logging around these functions, and the reply reader works over a read callback so that it can be driven
// by tests and fuzzers with arbitrary bytes.
//
// Wire format, host to printer: a 32-byte header (ESC, 'P', a six-character category word, a sixteen-
// character subcommand word padded with blanks, an eight-digit payload length or eight blanks) followed by
// the payload. Printer to host: an eight-byte decimal body length, then a text body that a carriage return
// ends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/IOReturnCodes.h"

namespace ovn::protocol {

// ---------------------------------------------------------------------------------------------------------
// Sizes and time-outs

constexpr size_t kFrameHeaderSize = 32;
constexpr size_t kFrameCommandOffset = 2;
constexpr size_t kFrameSubcommandOffset = 8;
constexpr size_t kFrameLengthOffset = 24;
constexpr size_t kFrameLengthDigits = 8;
// The largest payload the eight-digit length field can announce.
constexpr size_t kMaxPayloadFieldSize = 99'999'999;
// Only this many leading bytes of a frame go to the hex dump.
constexpr size_t kFrameLogBytes = 64;

constexpr uint32_t kReplyHeaderSize = 8;
constexpr uint32_t kReplyInitialBufferSize = 256;
constexpr uint32_t kMaxReplyBodyLength = 4096;

// Both time-outs of every bulk transfer, in milliseconds.
constexpr uint32_t kPipeTimeoutMs = 5000;

// Line numbers reported through the printer class's error hook as "Internal error L%d".
constexpr int kInternalErrorCommandText = 486;
constexpr int kInternalErrorLengthField = 494;
constexpr int kInternalErrorReplyTooLong = 2112;

// ---------------------------------------------------------------------------------------------------------
// USB identities and models

constexpr uint16_t kVendorOVN = 0x2A71;
constexpr uint16_t kVendorOVNAlternate = 0x2A72;

constexpr uint16_t kProductPL15 = 0x0101;
constexpr uint16_t kProductPL25 = 0x0102;
constexpr uint16_t kProductPLMV1 = 0x0103;
constexpr uint16_t kProductPL25Duplex = 0x0106;
constexpr uint16_t kProductPL35 = 0x5C01;
constexpr uint16_t kProductPL45 = 0x5D01;

// The firmware a PL-MV1 runs between the programming restart and its final restart.
constexpr const char kIntermediateFirmware[] = "MV1_ALLFWU_2.05";

// ---------------------------------------------------------------------------------------------------------
// Command table

enum CommandCode : uint32_t {
    kCmdStatus = 0,
    kCmdFirmwareVersion = 1,
    kCmdSerialNumber = 2,
    kCmdMedia = 4,
    kCmdFreePrintBuffer = 7,
    kCmdMediaQuantity = 8,
    kCmdMulticut = 11,
    kCmdOvercoat = 12,
    kCmdYPlane = 13,
    kCmdMPlane = 14,
    kCmdCPlane = 15,
    kCmdCutter = 16,
    kCmdStart = 17,
    kCmdTableClear = 19,
    kCmdTableWriteData = 20,
    kCmdTableReadVersion = 21,
    kCmdTableWriteVersion = 22,
    kCmdTableReadChecksum = 23,
    kCmdTableReadVersion300 = 24,
    kCmdTableReadVersion600 = 25,
    kCmdTableReadVersion610 = 26,
    kCmdTableReadVersion620 = 27,
    kCmdTableReadChecksum300 = 28,
    kCmdTableReadChecksum600 = 29,
    kCmdTableReadChecksum610 = 30,
    kCmdTableReadChecksum620 = 31,
    kCmdCounterLife = 32,
    kCmdCounterA = 33,
    kCmdCounterB = 34,
    kCmdCounterClear = 35,
    kCmdCounterP = 36,
    kCmdCounterPSet = 37,
    kCmdCounterMatte = 38,
    kCmdCounterM = 39,
    kCmdFlashRewrite = 40,
    kCmdFlashProgram = 41,
    kCmdUSBISerialWrite = 42,
    kCmdUSBISerialRead = 43,
};

struct CommandInfo {
    std::string_view category;    // exactly six characters, trailing blanks included
    std::string_view subcommand;  // empty when the command has none
};

// The table entry of a code; nothing for a code without an entry (3, 5, 6, 9, 10, 18, above 43).
std::optional<CommandInfo> commandInfo(uint32_t code);

// The command text: the category word followed directly by the subcommand word; nothing for a code
// without an entry.
std::optional<std::string> stringForCommandCode(uint32_t code);

// The size of a frame's payload field: 8 for codes 11, 12, 16, 37; 4 for 35 and 42; the payload's length
// for 13-15, 20, 22, 24-31 and 41; 0 for every other code.
size_t payloadFieldSize(uint32_t code, size_t payloadLength);
// Whether the code's payload field has a fixed size (11, 12, 16, 35, 37, 42).
bool hasFixedPayloadField(uint32_t code);

// ---------------------------------------------------------------------------------------------------------
// Frames

// A payload with room for the frame header in front of it, so that a frame of any size (a whole firmware
// image) is built in place: the header goes into the reserved bytes and the buffer is written in one
// transfer, without copying the payload again.
class FramedPayload {
public:
    // No payload.
    FramedPayload();
    // A copy of the bytes behind the header room.
    explicit FramedPayload(std::span<const uint8_t> payload);
    // Takes a buffer whose first kFrameHeaderSize bytes are reserved for the header and whose remaining bytes
    // are the payload. A buffer shorter than the header is extended (no payload).
    static FramedPayload adopt(std::vector<uint8_t>&& bufferWithHeaderRoom);
    // Room for a payload of `size` zero bytes, to be filled through payload(); nothing when memory runs out.
    static std::optional<FramedPayload> withPayloadSize(size_t size);

    size_t payloadSize() const { return buffer_.size() - kFrameHeaderSize; }
    std::span<uint8_t> payload() { return std::span<uint8_t>(buffer_).subspan(kFrameHeaderSize); }
    std::span<const uint8_t> payload() const { return std::span<const uint8_t>(buffer_).subspan(kFrameHeaderSize); }
    // The whole buffer, header room first; append payload bytes to it.
    std::vector<uint8_t>& buffer() { return buffer_; }
    std::vector<uint8_t> release() && { return std::move(buffer_); }

private:
    std::vector<uint8_t> buffer_;
};

struct FrameBuildResult {
    // The complete frame (32 + payload field bytes). Empty when no frame may be sent.
    std::vector<uint8_t> frame;
    size_t payloadFieldSize = 0;
    // The command text placed at offset 2 (empty when the code has no entry).
    std::string commandText;
    // "Internal error L%d" line numbers to report through the error hook, in the order they arose.
    std::vector<int> internalErrors;
    // False when the frame could not be built (out of memory) or must not be sent: a payload too large for
    // the eight-digit length field would make the printer read payload bytes as commands.
    bool sendable = false;
};

// Builds the frame for the code around the payload, reusing the payload's buffer.
//
// Codes with a fixed payload field take the payload only when it has exactly the field's size; otherwise the
// field is sent as zero bytes. Codes without a payload field ignore the payload. A code without an entry is
// sent with a blank command field (internal error 486).
FrameBuildResult buildCommandFrame(uint32_t code, FramedPayload&& payload);
FrameBuildResult buildCommandFrame(uint32_t code, std::span<const uint8_t> payload);

// ---------------------------------------------------------------------------------------------------------
// Replies

// One bulk IN read: fill up to *size bytes at buffer, set *size to the bytes received, answer the platform
// result (0 on success).
using PipeReadFn = std::function<IOReturn(uint8_t* buffer, uint32_t* size)>;

enum class ReplyOutcome {
    Value,             // a reply value was read
    HeaderReadFailed,  // the header read failed or timed out: no body read was issued
    BodyTooLong,       // the header announced more than 4096 bytes: no body read was issued
    BodyReadFailed,    // the body read failed or timed out
};

struct ReplyReadResult {
    ReplyOutcome outcome = ReplyOutcome::HeaderReadFailed;
    // The reply value (see readReply); present only with ReplyOutcome::Value.
    std::optional<std::vector<uint8_t>> value;
    // The result of the last read issued.
    IOReturn readStatus = kIOReturnSuccess;
    uint32_t headerBytes = 0;  // bytes the header read delivered
    uint32_t bodyLength = 0;   // the length the header announced (as an unsigned 32-bit number)
    uint32_t bodyBytes = 0;    // bytes the body read delivered
};

// Reads one reply: an 8-byte header read, then one body read of the announced length.
//
// The header is parsed like strtol (leading white space, optional sign, digits up to the first non-digit;
// anything else reads as 0) and kept as an unsigned 32-bit length, so a negative length is huge. A length
// above 4096 yields no value. The value always holds a zero byte after the text: with a carriage return in
// the bytes received it is those bytes up to the first carriage return, which becomes the zero byte;
// without one it is the whole reply buffer, max(256, length + 1) bytes, zero after the bytes received
// (header bytes stay behind the body when fewer than 8 body bytes arrived). A read callback that claims
// more bytes than it was asked for is held to the size it was asked for.
ReplyReadResult readReply(const PipeReadFn& read);

// Whether a reply counts as no reply: absent, or of length 0.
bool isEmptyReply(const std::optional<std::vector<uint8_t>>& reply);
// The reply value as UTF-8 text up to its first zero byte; nothing for an empty reply or bytes that are not
// valid UTF-8.
std::optional<std::string> replyText(const std::optional<std::vector<uint8_t>>& reply);

// ---------------------------------------------------------------------------------------------------------
// Status vocabulary

// The raw status of a printer in firmware update mode, and of an idle printer.
inline constexpr const char* kRawStatusFirmwareUpdateMode = "FU00001";
inline constexpr const char* kRawStatusIdle = "00000";

// The status text of a raw status: "Firmware Update Mode" for exactly "FU00001", "<NULL>" for no text, else
// the text of the status number (intValueOfText) or "Unknown Status".
std::string stringForDSStatusString(const std::optional<std::string>& rawStatus);

// ---------------------------------------------------------------------------------------------------------
// Text conversions

// Leading white space, an optional sign, digits up to the first non-digit; no number reads as 0. Values
// beyond the 32-bit range are held at its ends.
int32_t intValueOfText(std::string_view text);
// After optional blanks, a sign and leading zeros: true when the text begins with a digit 1-9 or with
// Y, y, T or t.
bool boolValueOfText(std::string_view text);
// The text without white space and line ends at either end (ASCII white space and the Unicode spaces,
// line and paragraph separators).
std::string trimWhitespaceAndNewlines(std::string_view text);
// A lifetime counter reply: "CL" followed by a number becomes that number's decimal text ("CL0012345" is
// "12345", "CL" alone "0"); any other text is kept.
std::string lifetimeCounterText(std::string_view reply);

// ---------------------------------------------------------------------------------------------------------
// Payloads

// "C", the counter letter, CR, 0 — for "A", "B" and "M" only.
std::optional<std::array<uint8_t, 4>> counterResetPayload(char letter);
// "0", "1" or "0", CR, 0.
std::array<uint8_t, 4> usbISerialWritePayload(bool enable);
// The media payloads of the PL45 colour-table queries: "0001" (SD) and "0003" (PP).
std::array<uint8_t, 4> commandPayloadForMediaSD();
std::array<uint8_t, 4> commandPayloadForMediaPP();

// ---------------------------------------------------------------------------------------------------------
// Colour-table layouts

enum class ColorTableLayout { None, Single, Triple, Octuple };
enum class TableMedia { None, SD, PP };

struct ColorTableQuery {
    uint32_t code;
    TableMedia media;
    const char* key;        // device-info key and observable property
    const char* logPrefix;  // the log line is this prefix followed by the stored text
};

ColorTableLayout colorTableLayoutForProduct(uint16_t productID);
// The queries of a layout, in the order they are sent (empty for ColorTableLayout::None).
std::span<const ColorTableQuery> colorTableVersionQueries(ColorTableLayout layout);
std::span<const ColorTableQuery> colorTableChecksumQueries(ColorTableLayout layout);
// The media payload of a query (empty for TableMedia::None).
std::vector<uint8_t> mediaPayload(TableMedia media);
// Every colour-table key, versions first.
std::span<const char* const> colorTableKeys();

// ---------------------------------------------------------------------------------------------------------
// USB iSerial support

enum class ISerialSupport { None, Always, FromFirmware204 };
ISerialSupport iSerialSupportForProduct(uint16_t productID);
// Whether a printer of this product with this installed firmware version number supports the setting.
bool hasISerialSupport(uint16_t productID, double installedFirmwareVersion);

// ---------------------------------------------------------------------------------------------------------
// Pictures

// The picture name of a model ("OVN_PL_Series", "OVN_MV_Series", "PL35A_LSide", "PL45"); nothing for a
// product ID without a picture.
std::optional<std::string> imageNameForProduct(uint16_t productID);

}  // namespace ovn::protocol
