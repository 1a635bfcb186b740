// The printer's frame parser and reply layout, against frames written byte by byte.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "sim/OvnDeviceProtocol.h"

namespace ovn::sim::test {
namespace {

FrameParseResult parse(const Bytes& b) { return parseCommandFrame(b.data(), b.size()); }

TEST(DeviceFrame, ProtocolFramesParseToTheirCommands) {
    // Status query: ESC, 'P', "STATUS", 24 blanks; 32 bytes in all.
    Bytes status{0x1B, 'P', 'S', 'T', 'A', 'T', 'U', 'S'};
    status.resize(32, ' ');
    auto r = parse(status);
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::Status, r.frame->command);
    EXPECT_TRUE(r.frame->payload.empty());

    // Firmware version: "FVER" at offset 8, right after the two blanks of "INFO  "; blank length field.
    Bytes fver(32, ' ');
    fver[0] = 0x1B;
    fver[1] = 'P';
    std::string text = "INFO  FVER";
    std::copy(text.begin(), text.end(), fver.begin() + 2);
    ASSERT_EQ('F', fver[8]);
    r = parse(fver);
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::FirmwareVersion, r.frame->command);

    // Colour-table version query with media "0001": 36 bytes, bytes 24..31 hold 00000004.
    Bytes cwd = frame("TBL_RD", "CWD620_Version", bytesOf("0001"));
    ASSERT_EQ(36u, cwd.size());
    EXPECT_EQ("00000004", std::string(cwd.begin() + 24, cwd.begin() + 32));
    r = parse(cwd);
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::Cwd620Version, r.frame->command);
    EXPECT_EQ(bytesOf("0001"), r.frame->payload);

    // Counter reset of counter A: 43 41 0D 00.
    r = parse(frame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D, 0x00}));
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::CounterClear, r.frame->command);
    EXPECT_EQ((Bytes{0x43, 0x41, 0x0D, 0x00}), r.frame->payload);

    // The same word under two categories: the category decides.
    r = parse(frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00}));
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::ISerialWrite, r.frame->command);
    r = parse(frame("MNT_RD", "USB_ISERI_SET"));
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::ISerialRead, r.frame->command);
    Bytes name = bytesOf("PL15_300_0161.CWD");
    name.resize(20, 0);
    r = parse(frame("TBL_WT", "Version", name));
    ASSERT_TRUE(r.frame);
    EXPECT_EQ(DeviceCommand::TableWriteVersion, r.frame->command);

    // A firmware upload of 1,000,000 bytes: length field 01000000.
    Bytes image(1000000, 'S');
    Bytes upload = frame("FW_UPD", "FLASH_PROGRAM", image);
    EXPECT_EQ("01000000", std::string(upload.begin() + 24, upload.begin() + 32));
    r = parse(upload);
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(1000000u, r.frame->payload.size());
}

TEST(DeviceFrame, MalformedFramesAreRefusedWithTheReason) {
    struct Case {
        Bytes bytes;
        std::string reasonPart;
    };
    Bytes status = statusFrame();
    Bytes noEsc = status;
    noEsc[0] = 0x1C;
    Bytes lowerCategory = status;
    lowerCategory[2] = 's';
    Bytes zeroFilledSub = frame("INFO  ", "FVER");
    std::fill(zeroFilledSub.begin() + 12, zeroFilledSub.begin() + 24, 0);
    Bytes gapInSub = frame("INFO  ", "FVER");
    gapInSub[14] = 'X';
    Bytes letterLength = frame("TBL_RD", "CWD300_Version", bytesOf("0001"));
    letterLength[24] = 'O';
    Bytes shortPayload = frame("TBL_RD", "CWD300_Version", bytesOf("0001"));
    shortPayload.pop_back();
    Bytes extraPayload = status;
    extraPayload.push_back('!');
    std::vector<Case> cases = {
        {Bytes(31, ' '), "shorter than the 32-byte header"},
        {Bytes{}, "shorter than the 32-byte header"},
        {noEsc, "ESC 'P'"},
        {lowerCategory, "unknown category word 'sTATUS'"},
        {frame("INFO  ", "VERSION"), "unknown command 'INFO VERSION'"},
        {frame("STATUS", "FVER"), "unknown command 'STATUS FVER'"},
        {zeroFilledSub, "invalid byte"},
        {gapInSub, "left-aligned"},
        {letterLength, "neither eight digits nor blank"},
        {shortPayload, "announces 4 payload bytes but 3 followed"},
        {extraPayload, "announces 0 payload bytes but 1 followed"},
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

TEST(DeviceFrame, ZeroLengthFieldIsTheSameAsBlank) {
    Bytes f = statusFrame();
    std::string zeros = "00000000";
    std::copy(zeros.begin(), zeros.end(), f.begin() + 24);
    auto r = parse(f);
    ASSERT_TRUE(r.frame) << r.error;
    EXPECT_EQ(DeviceCommand::Status, r.frame->command);
}

TEST(DeviceFrame, ReplyIsEightDigitLengthThenTextAndCarriageReturn) {
    EXPECT_EQ(bytesOf("00000006" "00000\r"), buildReply("00000"));
    EXPECT_EQ(bytesOf("00000001\r"), buildReply(""));
    EXPECT_EQ(bytesOf("00000010" "CL0012345\r"), buildReply("CL0012345"));
}

TEST(DeviceFrame, CommandsByNameForFaultDescriptions) {
    EXPECT_EQ(DeviceCommand::Status, commandByName("STATUS"));
    EXPECT_EQ(DeviceCommand::Status, commandByName("status"));
    EXPECT_EQ(DeviceCommand::TableClear, commandByName("TBL_CL"));
    EXPECT_EQ(DeviceCommand::FirmwareVersion, commandByName("FVER"));
    EXPECT_EQ(DeviceCommand::TableWriteVersion, commandByName("TBL_WT.Version"));
    EXPECT_EQ(DeviceCommand::ISerialRead, commandByName("MNT_RD USB_ISERI_SET"));
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
