// The emulator's answers to every kind of query and write, byte for byte.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

namespace ovn::sim::test {
namespace {

void serialSN12345(EmulatorConfig& c) { c.serial = "SN12345"; }
Bytes counterClear(char letter) { return frame("MNT_WT", "COUNTER_CLR", {0x43, uint8_t(letter), 0x0D, 0x00}); }
Bytes tableVersion(const std::string& name) {
    Bytes b = bytesOf(name);
    b.resize((b.size() + 3) / 4 * 4, 0);
    return frame("TBL_WT", "Version", b);
}
const Bytes kISerialOn = frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00});
const Bytes kISerialRead = frame("MNT_RD", "USB_ISERI_SET");

TEST(EmulatorProtocol, StatusReplyBytesAndRawStatusFromTests) {
    auto lp = makePrinter(PrinterModel::PL25D);
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    auto r = readReply(p);
    ASSERT_TRUE(r);
    EXPECT_EQ("00000006", r->header);
    EXPECT_EQ(bytesOf("00000\r"), r->body);
    EXPECT_EQ(0u, p.pendingReplyCount());
    for (const char* raw : {"01100", "02610"}) {
        p.setRawStatus(raw);
        EXPECT_EQ(raw, ask(p, statusFrame()));
    }
    EXPECT_EQ(kIOReturnTimeout, readIn(p, 8, 10)) << "nothing asked, nothing to read";
}

TEST(EmulatorProtocol, InformationAndCounterQueries) {
    auto lp = makePrinter(PrinterModel::PL15, [](EmulatorConfig& c) {
        serialSN12345(c);
        c.lifetimeCounter = 12345;
    });
    auto& p = *lp.printer;
    p.setMediaCounter('A', 77);
    EXPECT_EQ("PL15 01.50", ask(p, frame("INFO  ", "FVER")));
    EXPECT_EQ("SN12345", ask(p, frame("INFO  ", "SERIAL_NUMBER")));
    EXPECT_EQ("CL0012345", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
    EXPECT_EQ("CA0000077", ask(p, frame("MNT_RD", "COUNTER_A")));
    for (const char* word : {"MEDIA", "MQTY", "FREE_PBUFFER"}) EXPECT_TRUE(ask(p, frame("INFO  ", word))) << word;

    // Counter reset C, A, CR, NUL clears counter A only and is not answered; a letter other than A, B, M is
    // refused and changes nothing; the lifetime counter is never cleared.
    p.setMediaCounter('B', 5);
    ASSERT_EQ(kIOReturnSuccess, send(p, counterClear('A')));
    EXPECT_EQ(0u, p.pendingReplyCount());
    EXPECT_EQ(0u, p.mediaCounter('A'));
    EXPECT_EQ(5u, p.mediaCounter('B'));
    ASSERT_EQ(kIOReturnSuccess, send(p, counterClear('M')));
    EXPECT_EQ(0u, p.mediaCounter('M'));
    ASSERT_EQ(kIOReturnSuccess, send(p, counterClear('X')));
    EXPECT_EQ(5u, p.mediaCounter('B'));
    EXPECT_EQ(1u, p.rejectedCount());
    EXPECT_EQ("CL0012345", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("CNTRL ", "START")));
    EXPECT_EQ("CL0012346", ask(p, frame("MNT_RD", "COUNTER_LIFE"))) << "a print counts";
}

TEST(EmulatorProtocol, MalformedFramesAreLoggedCountedAndNotAnswered) {
    auto lp = makePrinter(PrinterModel::PL35);
    auto& p = *lp.printer;
    Bytes bad = statusFrame(), wrongLength = frame("TBL_RD", "CWD300_Version", bytesOf("0001"));
    bad[1] = 'Q';
    wrongLength[31] = '5';
    ASSERT_EQ(kIOReturnSuccess, send(p, bad));
    ASSERT_EQ(kIOReturnSuccess, send(p, wrongLength));
    EXPECT_EQ(2u, p.malformedCount());
    EXPECT_EQ(0u, p.pendingReplyCount());
    EXPECT_EQ(kIOReturnTimeout, readIn(p, 8, 10));
    auto frames = p.frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_TRUE(frames[0].malformed);
    EXPECT_FALSE(frames[0].command);
    EXPECT_NE(std::string::npos, frames[1].error.find("announces 5 payload bytes but 4 followed"));
    EXPECT_EQ("00000", ask(p, statusFrame())) << "the printer still works";
}

TEST(EmulatorProtocol, FrameLogKeepsSmallPayloadsAndHashesLargeOnes) {
    auto lp = makePrinter(PrinterModel::PL15);
    auto& p = *lp.printer;
    const Bytes big(10000, 0x5A);
    ASSERT_EQ(kIOReturnSuccess, send(p, counterClear('B')));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("IMAGE ", "YPLANE", big)));
    auto frames = p.frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ("MNT_WT COUNTER_CLR", frames[0].commandName);
    EXPECT_EQ((Bytes{0x43, 0x42, 0x0D, 0x00}), frames[0].payload);
    EXPECT_EQ(36u, frames[0].size);
    EXPECT_EQ(10000u, frames[1].payloadSize);
    EXPECT_TRUE(frames[1].payload.empty());
    EXPECT_EQ(fnv1a64(big.data(), big.size()), frames[1].payloadHash);
}

TEST(EmulatorProtocol, ColourTableQueriesFollowTheModelsLayout) {
    auto single = makePrinter(PrinterModel::PL25D), triple = makePrinter(PrinterModel::PL35);
    auto octo = makePrinter(PrinterModel::PL45);
    octo.printer->setColourTable({"PP", 620}, {"0099", "ABCD", "", 0, 0});
    const Bytes sd = bytesOf("0001"), pp = bytesOf("0003");
    const struct {
        LinkedPrinter* lp;
        Bytes query;
        std::string reply;
    } cases[] = {
        // Single layout: one version and one checksum, no table numbers.
        {&single, frame("TBL_RD", "Version"), "0120"},
        {&single, frame("TBL_RD", "CWD300_Version"), ""},
        // Triple: numbered tables without media selector; no 620.
        {&triple, frame("TBL_RD", "CWD610_Version"), "0105"},
        {&triple, frame("TBL_RD", "CWD620_Version"), ""},
        {&triple, frame("TBL_RD", "CWD300_Version", sd), ""},
        {&triple, frame("TBL_RD", "Version"), ""},
        // Octuple: "0001" for SD, "0003" for PP; nothing else.
        {&octo, frame("TBL_RD", "CWD620_Version", sd), "0100"},
        {&octo, frame("TBL_RD", "CWD620_Version", pp), "0099"},
        {&octo, frame("TBL_RD", "CWD620_Checksum", pp), "ABCD"},
        {&octo, frame("TBL_RD", "CWD620_Version"), ""},
        {&octo, frame("TBL_RD", "CWD620_Version", bytesOf("0002")), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reply, ask(*c.lp->printer, c.query)) << textOf(c.query);
    auto checksum = ask(*single.printer, frame("MNT_RD", "CTRLD_CHKSUM"));
    ASSERT_TRUE(checksum);
    EXPECT_EQ(4u, checksum->size());
    EXPECT_EQ(3u, triple.printer->rejectedCount());
}

TEST(EmulatorProtocol, ColourTableWritesReplaceTablesVersionThenData) {
    auto lp = makePrinter(PrinterModel::PL35), octo = makePrinter(PrinterModel::PL45);
    auto& p = *lp.printer;
    const Bytes data{1, 2, 3, 250};
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_CL", "")));
    EXPECT_EQ("0000", ask(p, frame("TBL_RD", "CWD300_Version")));
    Bytes version = tableVersion("PL35_300_0111.CWD");
    ASSERT_EQ(52u, version.size()) << "the name padded to 20 bytes";
    ASSERT_EQ(kIOReturnSuccess, send(p, version));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "CTRLD_UPDATE_CW", data)));
    EXPECT_EQ("0111", ask(p, frame("TBL_RD", "CWD300_Version")));
    EXPECT_EQ("0100", ask(p, frame("TBL_RD", "CWD300_Checksum")));  // 1 + 2 + 3 + 250 = 0x100
    EXPECT_EQ("0000", ask(p, frame("TBL_RD", "CWD600_Version")));
    auto tables = p.colourTables();
    EXPECT_EQ("PL35_300_0111.CWD", (tables[{"SD", 300}].versionName));
    EXPECT_EQ(4u, (tables[{"SD", 300}].dataSize));
    EXPECT_EQ(0u, p.forbiddenCount());

    // PL45: the media word picks SD or PP.
    ASSERT_EQ(kIOReturnSuccess, send(*octo.printer, tableVersion("PL45_PP_610_0101.CWD")));
    ASSERT_EQ(kIOReturnSuccess, send(*octo.printer, frame("TBL_WT", "CTRLD_UPDATE_CW", data)));
    EXPECT_EQ("0101", ask(*octo.printer, frame("TBL_RD", "CWD610_Version", bytesOf("0003"))));
    EXPECT_EQ("0100", ask(*octo.printer, frame("TBL_RD", "CWD610_Version", bytesOf("0001"))));
}

TEST(EmulatorProtocol, ForbiddenAndRejectedTableWritesLeaveTablesAlone) {
    auto lp = makePrinter(PrinterModel::PL15);
    auto& p = *lp.printer;
    const auto before = p.colourTables();
    const Bytes data = frame("TBL_WT", "CTRLD_UPDATE_CW", {1, 2, 3, 4});
    // An empty data frame after its version: forbidden, nothing changes.
    ASSERT_EQ(kIOReturnSuccess, send(p, tableVersion("PL15_300_0161.CWD")));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "CTRLD_UPDATE_CW")));
    EXPECT_EQ(1u, p.forbiddenCount());
    EXPECT_EQ("empty colour-table data frame", p.forbiddenReasons().at(0));
    ASSERT_EQ(kIOReturnSuccess, send(p, data));
    EXPECT_EQ(2u, p.forbiddenCount()) << "data without a version frame before it";

    // Version frames the printer cannot use: unpadded, naming no table, naming a table the model lacks.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "Version", bytesOf("PL15_300_0161.CWD"))));
    ASSERT_EQ(kIOReturnSuccess, send(p, tableVersion("TABLE.CWD")));
    ASSERT_EQ(kIOReturnSuccess, send(p, tableVersion("PL15_610_0161.CWD")));
    EXPECT_EQ(3u, p.rejectedCount());
    ASSERT_EQ(kIOReturnSuccess, send(p, data));
    EXPECT_EQ(3u, p.forbiddenCount()) << "data after a refused version has no version";
    EXPECT_EQ(before, p.colourTables());
    EXPECT_EQ("0150", ask(p, frame("TBL_RD", "Version")));
}

TEST(EmulatorProtocol, ISerialSettingReadWriteAndPowerCycle) {
    auto lp = makePrinter(PrinterModel::PL45, serialSN12345);
    auto& p = *lp.printer;
    EXPECT_EQ("00", ask(p, kISerialRead));
    EXPECT_EQ(0, p.description().iSerialNumber);
    ASSERT_EQ(kIOReturnSuccess, send(p, kISerialOn));
    EXPECT_EQ("01", ask(p, kISerialRead));
    EXPECT_TRUE(p.iSerialSetting());
    EXPECT_FALSE(p.reportsSerialNumber()) << "takes effect only after a power cycle";
    EXPECT_EQ(0, p.description().iSerialNumber);

    p.powerCycle();
    EXPECT_EQ((std::vector<std::string>{"unplug", "plug"}), lp.link->names());
    auto plugged = lp.link->calls().back().description;
    EXPECT_EQ(3, plugged.iSerialNumber);
    EXPECT_EQ(u"SN12345", plugged.strings[3][0x0409]);
    EXPECT_EQ(0x14300000u, plugged.locationID);
    EXPECT_TRUE(p.isOnBus());
    EXPECT_EQ("01", ask(p, kISerialRead));

    // Malformed setting payloads change nothing.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "USB_ISERI_SET", {0x31, 0x30, 0x0D, 0x00})));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x30, 0x00, 0x00})));
    EXPECT_TRUE(p.iSerialSetting());
    EXPECT_EQ(2u, p.rejectedCount());
}

TEST(EmulatorProtocol, ISerialSettingOnlyWhereTheModelHasIt) {
    auto pl15 = makePrinter(PrinterModel::PL15);
    EXPECT_EQ("", ask(*pl15.printer, kISerialRead));
    ASSERT_EQ(kIOReturnSuccess, send(*pl15.printer, kISerialOn));
    EXPECT_FALSE(pl15.printer->iSerialSetting());
    EXPECT_EQ(2u, pl15.printer->rejectedCount());

    auto mv203 = makePrinter(PrinterModel::PLMV1, [](EmulatorConfig& c) { c.firmwareVersion = "PL-MV1 02.03"; });
    EXPECT_FALSE(mv203.printer->hasISerialSetting());
    EXPECT_EQ("", ask(*mv203.printer, kISerialRead));
    auto mv204 = makePrinter(PrinterModel::PLMV1, [](EmulatorConfig& c) {
        c.firmwareVersion = "PL-MV1 02.04";
        c.iSerial = true;
    });
    EXPECT_TRUE(mv204.printer->hasISerialSetting());
    EXPECT_EQ("01", ask(*mv204.printer, kISerialRead));
    EXPECT_EQ(3, mv204.printer->description().iSerialNumber);
}

TEST(EmulatorProtocol, UsbIdentityDeviceIdAndSoftReset) {
    auto lp = makePrinter(PrinterModel::PL35, [](EmulatorConfig& c) { c.vendorId = 0x2A72; });
    auto& p = *lp.printer;
    auto d = p.description();
    EXPECT_EQ(0x2A72, d.idVendor);
    EXPECT_EQ(0x5C01, d.idProduct);
    EXPECT_EQ(u"Orvane Imaging", d.strings[d.iManufacturer][0x0409]);
    EXPECT_EQ(u"QP-PL35", d.strings[d.iProduct][0x0409]);
    EXPECT_EQ(0, d.iSerialNumber);

    usb::IOUSBDevRequestTO getId;
    getId.bmRequestType = 0xA1;
    getId.wLength = 0xFFFF;
    Bytes in;
    ASSERT_EQ(kIOReturnSuccess, p.controlRequest(getId, in));
    ASSERT_GE(in.size(), 2u);
    EXPECT_EQ(in.size(), size_t(in[0]) << 8 | in[1]) << "the big-endian length counts its own two bytes";
    std::string text(in.begin() + 2, in.end());
    EXPECT_EQ(p.deviceIdText(), text);
    EXPECT_EQ(0u, text.find("MFG:Orvane Imaging;MDL:PL35;"));
    EXPECT_EQ(';', text.back());

    // Another interface: stalled. A raw answer set by a test is given as it is.
    getId.wIndex = 0x0100;
    EXPECT_EQ(kIOUSBPipeStalled, p.controlRequest(getId, in));
    getId.wIndex = 0;
    p.setRawDeviceIdReply(Bytes{0x00, 0x0A, 'M', 'F', 'G', ':', 'A', 'B', ';', 'M', 'D', 'L', ':', 'C', ';'});
    ASSERT_EQ(kIOReturnSuccess, p.controlRequest(getId, in));
    EXPECT_EQ(15u, in.size());

    // SOFT_RESET drops replies not yet read; other class requests stall.
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    EXPECT_EQ(1u, p.pendingReplyCount());
    usb::IOUSBDevRequestTO reset;
    reset.bmRequestType = 0x21;
    reset.bRequest = 2;
    EXPECT_EQ(kIOReturnSuccess, p.controlRequest(reset, in));
    EXPECT_EQ(0u, p.pendingReplyCount());
    reset.bRequest = 9;
    EXPECT_EQ(kIOUSBPipeStalled, p.controlRequest(reset, in));

    // Off the bus nothing gets through.
    p.powerLoss();
    EXPECT_FALSE(p.isOnBus());
    EXPECT_FALSE(p.isPowered());
    const size_t framesBefore = p.frameCount();
    EXPECT_EQ(kIOReturnNoDevice, send(p, statusFrame()));
    EXPECT_EQ(kIOReturnNoDevice, readIn(p, 8, 10));
    EXPECT_EQ(kIOReturnNoDevice, p.controlRequest(getId, in));
    EXPECT_EQ(framesBefore, p.frameCount());
}

}  // namespace
}  // namespace ovn::sim::test
