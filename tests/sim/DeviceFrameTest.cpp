// The printer's frame parser and reply layout, against frames written byte by byte.
#include <gtest/gtest.h>

#include <functional>

#include "SimTestSupport.h"
#include "sim/OvnDeviceProtocol.h"

namespace ovn::sim::test {
namespace {

FrameParseResult parse(const Bytes& b) { return parseCommandFrame(b.data(), b.size()); }
Bytes edited(Bytes b, const std::function<void(Bytes&)>& edit) {
    edit(b);
    return b;
}
std::string lengthField(const Bytes& f) { return std::string(f.begin() + 24, f.begin() + 32); }

TEST(DeviceFrame, ProtocolFramesParseToTheirCommands) {
    Bytes status = bytesOf("\x1BPSTATUS");  // ESC, 'P', "STATUS", 24 blanks: 32 bytes, no length, no payload
    status.resize(32, ' ');
    Bytes fver = bytesOf("\x1BPINFO  FVER");  // "FVER" at 8, right after the two blanks of "INFO  "
    fver.resize(32, ' ');
    Bytes cwd = frame("TBL_RD", "CWD620_Version", bytesOf("0001"));
    ASSERT_EQ(36u, cwd.size());
    EXPECT_EQ("00000004", lengthField(cwd));
    const Bytes image(1000000, 'S');
    Bytes upload = frame("FW_UPD", "FLASH_PROGRAM", image);
    EXPECT_EQ("01000000", lengthField(upload));
    Bytes tableName = bytesOf("PL15_300_0161.CWD");
    tableName.resize(20, 0);
    const Bytes counterA{0x43, 0x41, 0x0D, 0x00}, iSerialOn{0x30, 0x31, 0x0D, 0x00};
    const struct {
        Bytes bytes;
        DeviceCommand command;
        Bytes payload;
    } cases[] = {
        {status, DeviceCommand::Status, {}},
        {edited(status, [](Bytes& b) { std::fill(b.begin() + 24, b.end(), '0'); }), DeviceCommand::Status, {}},
        {fver, DeviceCommand::FirmwareVersion, {}},
        {cwd, DeviceCommand::Cwd620Version, bytesOf("0001")},
        {frame("MNT_WT", "COUNTER_CLR", counterA), DeviceCommand::CounterClear, counterA},
        // The same word under two categories: the category decides.
        {frame("MNT_WT", "USB_ISERI_SET", iSerialOn), DeviceCommand::ISerialWrite, iSerialOn},
        {frame("MNT_RD", "USB_ISERI_SET"), DeviceCommand::ISerialRead, {}},
        {frame("TBL_WT", "Version", tableName), DeviceCommand::TableWriteVersion, tableName},
        {upload, DeviceCommand::FlashProgram, image},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(textOf(Bytes(c.bytes.begin(), c.bytes.begin() + 32)));
        auto r = parse(c.bytes);
        ASSERT_TRUE(r.frame) << r.error;
        EXPECT_EQ(c.command, r.frame->command);
        EXPECT_EQ(c.payload, r.frame->payload);
    }
}

TEST(DeviceFrame, MalformedFramesAreRefusedWithTheReason) {
    const Bytes status = statusFrame(), fver = frame("INFO  ", "FVER");
    const Bytes cwd = frame("TBL_RD", "CWD300_Version", bytesOf("0001"));
    const struct {
        Bytes bytes;
        std::string reasonPart;
    } cases[] = {
        {Bytes(31, ' '), "shorter than the 32-byte header"},
        {Bytes{}, "shorter than the 32-byte header"},
        {edited(status, [](Bytes& b) { b[0] = 0x1C; }), "ESC 'P'"},
        {edited(status, [](Bytes& b) { b[2] = 's'; }), "unknown category word 'sTATUS'"},
        {frame("INFO  ", "VERSION"), "unknown command 'INFO VERSION'"},
        {frame("STATUS", "FVER"), "unknown command 'STATUS FVER'"},
        {edited(fver, [](Bytes& b) { std::fill(b.begin() + 12, b.begin() + 24, 0); }), "invalid byte"},
        {edited(fver, [](Bytes& b) { b[14] = 'X'; }), "left-aligned"},
        {edited(cwd, [](Bytes& b) { b[24] = 'O'; }), "neither eight digits nor blank"},
        {edited(cwd, [](Bytes& b) { b.pop_back(); }), "announces 4 payload bytes but 3 followed"},
        {edited(status, [](Bytes& b) { b.push_back('!'); }), "announces 0 payload bytes but 1 followed"},
        {frame("STATUS", "", bytesOf("0001")), "STATUS takes no payload"},
        {frame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D}), "takes a 4-byte payload, got 3"},
        {frame("MNT_WT", "USB_ISERI_SET"), "takes a 4-byte payload, got 0"},
        {frame("CNTRL ", "CUTTER", bytesOf("0000")), "takes an 8-byte payload, got 4"},
        {frame("TBL_RD", "CWD600_Checksum", bytesOf("01")), "no payload or a 4-byte media selector"},
    };
    for (const auto& c : cases) {
        auto r = parse(c.bytes);
        EXPECT_FALSE(r.frame) << c.reasonPart;
        EXPECT_NE(std::string::npos, r.error.find(c.reasonPart)) << "got: " << r.error;
    }
    EXPECT_FALSE(parseCommandFrame(nullptr, 40).frame);
}

TEST(DeviceFrame, ReplyIsEightDigitLengthThenTextAndCarriageReturn) {
    EXPECT_EQ(bytesOf("00000006" "00000\r"), buildReply("00000"));
    EXPECT_EQ(bytesOf("00000001\r"), buildReply(""));
    EXPECT_EQ(bytesOf("00000010" "CL0012345\r"), buildReply("CL0012345"));
}

TEST(DeviceFrame, CommandsByNameForFaultDescriptions) {
    const std::pair<const char*, DeviceCommand> names[] = {
        {"STATUS", DeviceCommand::Status},          {"status", DeviceCommand::Status},
        {"TBL_CL", DeviceCommand::TableClear},      {"FVER", DeviceCommand::FirmwareVersion},
        {"TBL_WT.Version", DeviceCommand::TableWriteVersion}, {"MNT_RD USB_ISERI_SET", DeviceCommand::ISerialRead},
    };
    for (const auto& [name, command] : names) EXPECT_EQ(command, commandByName(name)) << name;
    bool ambiguous = false;
    EXPECT_FALSE(commandByName("Version", &ambiguous));
    EXPECT_TRUE(ambiguous);
    EXPECT_FALSE(commandByName("NOPE", &ambiguous));
    EXPECT_FALSE(ambiguous);
    EXPECT_EQ("TBL_WT CTRLD_UPDATE_CW", commandName(DeviceCommand::TableWriteData));
    EXPECT_EQ("INFO FVER", commandName(DeviceCommand::FirmwareVersion));
}

}  // namespace
}  // namespace ovn::sim::test
