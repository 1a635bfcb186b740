// The printer's side of the OVN vendor command protocol: the commands a printer understands, a strict parser of
// the frames that arrive on its bulk OUT pipe, and the replies it puts on its bulk IN pipe.
//
// This is written from the printer's point of view and deliberately shares nothing with the host's frame
// builder, so that a mistake in one is caught by the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovn::sim {

// What the payload of a command must look like.
enum class PayloadRule {
    None,          // no payload, blank (or zero) length field
    Fixed4,        // exactly 4 bytes
    Fixed8,        // exactly 8 bytes
    Any,           // any length, including none
    NoneOrMedia,   // none, or a 4-byte media selector
};

enum class CommandKind { Query, Write };

// The commands of the printer. The numbers are the command codes of the protocol's command table.
enum class DeviceCommand : int {
    Status = 0,
    FirmwareVersion = 1,
    SerialNumber = 2,
    Media = 4,
    FreeBuffer = 7,
    MediaQuantity = 8,
    MultiCut = 11,
    Overcoat = 12,
    YPlane = 13,
    MPlane = 14,
    CPlane = 15,
    Cutter = 16,
    Start = 17,
    TableClear = 19,
    TableWriteData = 20,
    TableVersion = 21,
    TableWriteVersion = 22,
    TableChecksum = 23,
    Cwd300Version = 24,
    Cwd600Version = 25,
    Cwd610Version = 26,
    Cwd620Version = 27,
    Cwd300Checksum = 28,
    Cwd600Checksum = 29,
    Cwd610Checksum = 30,
    Cwd620Checksum = 31,
    CounterLife = 32,
    CounterA = 33,
    CounterB = 34,
    CounterClear = 35,
    CounterP = 36,
    CounterPSet = 37,
    CounterMatte = 38,
    CounterM = 39,
    FlashRewrite = 40,
    FlashProgram = 41,
    ISerialWrite = 42,
    ISerialRead = 43,
};

struct DeviceCommandInfo {
    DeviceCommand command;
    const char* category;    // exactly 6 characters, trailing blanks included
    const char* subcommand;  // "" when the command has none
    PayloadRule payload;
    CommandKind kind;
};

// Every command the printer knows, in code order.
const std::vector<DeviceCommandInfo>& deviceCommandTable();
const DeviceCommandInfo& commandInfo(DeviceCommand command);
// "STATUS", "INFO FVER", "TBL_WT Version": the category (without its trailing blanks) and the subcommand.
std::string commandName(DeviceCommand command);
// Looks a command up by a name as people write it: the subcommand word ("FVER", "COUNTER_CLR"), the category
// for commands without one ("STATUS", "TBL_CL"), or category and subcommand joined by '.' or ' '
// ("TBL_WT.Version"). Letter case is ignored. Sets *ambiguous when a bare word names two commands.
std::optional<DeviceCommand> commandByName(std::string_view name, bool* ambiguous = nullptr);

// A frame as the printer received it.
struct ReceivedFrame {
    DeviceCommand command = DeviceCommand::Status;
    std::vector<uint8_t> payload;
};

struct FrameParseResult {
    std::optional<ReceivedFrame> frame;
    std::string error;  // why the frame is malformed (when frame is empty)
};

// Checks one bulk OUT transfer byte by byte: ESC 'P', a known six-character category, a subcommand word that is
// left-aligned and blank-filled to 16 characters, an eight-character length field that is blank or eight
// decimal digits and equals the bytes that follow, and a payload that fits the command.
FrameParseResult parseCommandFrame(const uint8_t* data, size_t length);
// The length of the whole frame (header and payload) that a frame's start announces: nothing unless the 32-byte
// header is there, starts with ESC 'P' and its length field holds eight digits.
std::optional<size_t> announcedFrameLength(const uint8_t* data, size_t length);
// The bulk OUT endpoint's packet size: a transfer that is not a whole number of packets ends a frame.
inline constexpr size_t kBulkPacketSize = 512;

// A reply as the printer sends it: eight decimal digits giving the body length, then the body (the text
// followed by a carriage return).
std::vector<uint8_t> buildReply(std::string_view text);

// Media selectors of the table queries on printers with tables per media type.
inline constexpr std::string_view kMediaSD = "0001";
inline constexpr std::string_view kMediaPP = "0003";

// A 64-bit FNV-1a hash, for logging large payloads without keeping them.
uint64_t fnv1a64(const uint8_t* data, size_t length);

}  // namespace ovn::sim
