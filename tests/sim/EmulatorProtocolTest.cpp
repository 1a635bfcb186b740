// The emulator's answers to every kind of query and write, byte for byte.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

namespace ovn::sim::test {
namespace {

EmulatorConfig configFor(PrinterModel model) {
    EmulatorConfig c;
    c.model = model;
    c.serial = "SN12345";
    return c;
}

TEST(EmulatorProtocol, StatusReplyBytesAndRawStatusFromTests) {
    auto lp = makePrinter(configFor(PrinterModel::PL25D));
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    auto r = readReply(p);
    ASSERT_TRUE(r);
    EXPECT_EQ("00000006", r->header);
    EXPECT_EQ(bytesOf("00000\r"), r->body);
    EXPECT_EQ(0u, p.pendingReplyCount());

    p.setRawStatus("01100");
    EXPECT_EQ("01100", ask(p, statusFrame()));
    p.setRawStatus("02610");
    EXPECT_EQ("02610", ask(p, statusFrame()));

    // Nothing asked, nothing to read: the read times out.
    Bytes out;
    EXPECT_EQ(kIOReturnTimeout, p.bulkIn(out, 8, 10));
}

TEST(EmulatorProtocol, InformationAndCounterQueries) {
    EmulatorConfig c = configFor(PrinterModel::PL15);
    c.lifetimeCounter = 12345;
    auto lp = makePrinter(c);
    auto& p = *lp.printer;
    EXPECT_EQ("PL15 01.50", ask(p, frame("INFO  ", "FVER")));
    EXPECT_EQ("SN12345", ask(p, frame("INFO  ", "SERIAL_NUMBER")));
    EXPECT_EQ("CL0012345", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
    p.setMediaCounter('A', 77);
    EXPECT_EQ("CA0000077", ask(p, frame("MNT_RD", "COUNTER_A")));
    EXPECT_TRUE(ask(p, frame("INFO  ", "MEDIA")));
    EXPECT_TRUE(ask(p, frame("INFO  ", "MQTY")));
    EXPECT_TRUE(ask(p, frame("INFO  ", "FREE_PBUFFER")));

    // Counter reset C, A, CR, NUL clears counter A only and is not answered.
    p.setMediaCounter('B', 5);
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D, 0x00})));
    EXPECT_EQ(0u, p.pendingReplyCount());
    EXPECT_EQ(0u, p.mediaCounter('A'));
    EXPECT_EQ(5u, p.mediaCounter('B'));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "COUNTER_CLR", {0x43, 0x4D, 0x0D, 0x00})));
    EXPECT_EQ(0u, p.mediaCounter('M'));
    // A letter other than A, B, M is refused and changes nothing.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "COUNTER_CLR", {0x43, 0x58, 0x0D, 0x00})));
    EXPECT_EQ(5u, p.mediaCounter('B'));
    EXPECT_EQ(1u, p.rejectedCount());
    EXPECT_EQ("CL0012345", ask(p, frame("MNT_RD", "COUNTER_LIFE"))) << "the lifetime counter is never cleared";

    // A print counts.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("CNTRL ", "START")));
    EXPECT_EQ("CL0012346", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
}

TEST(EmulatorProtocol, MalformedFramesAreLoggedCountedAndNotAnswered) {
    auto lp = makePrinter(PrinterModel::PL35);
    auto& p = *lp.printer;
    Bytes bad = statusFrame();
    bad[1] = 'Q';
    ASSERT_EQ(kIOReturnSuccess, send(p, bad));
    Bytes wrongLength = frame("TBL_RD", "CWD300_Version", bytesOf("0001"));
    wrongLength[31] = '5';
    ASSERT_EQ(kIOReturnSuccess, send(p, wrongLength));
    EXPECT_EQ(2u, p.malformedCount());
    EXPECT_EQ(0u, p.pendingReplyCount());
    Bytes out;
    EXPECT_EQ(kIOReturnTimeout, p.bulkIn(out, 8, 10));
    auto frames = p.frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_TRUE(frames[0].malformed);
    EXPECT_FALSE(frames[0].command);
    EXPECT_NE(std::string::npos, frames[1].error.find("announces 5 payload bytes but 4 followed"));
    // The printer still works.
    EXPECT_EQ("00000", ask(p, statusFrame()));
}

TEST(EmulatorProtocol, FrameLogKeepsSmallPayloadsAndHashesLargeOnes) {
    auto lp = makePrinter(PrinterModel::PL15);
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "COUNTER_CLR", {0x43, 0x42, 0x0D, 0x00})));
    Bytes big(10000, 0x5A);
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
    // Single layout: one version and one checksum, no table numbers.
    auto single = makePrinter(PrinterModel::PL25D);
    EXPECT_EQ("0120", ask(*single.printer, frame("TBL_RD", "Version")));
    auto checksum = ask(*single.printer, frame("MNT_RD", "CTRLD_CHKSUM"));
    ASSERT_TRUE(checksum);
    EXPECT_EQ(4u, checksum->size());
    EXPECT_EQ("", ask(*single.printer, frame("TBL_RD", "CWD300_Version"))) << "no numbered tables";

    // Triple: numbered tables without media selector; no 620.
    auto triple = makePrinter(PrinterModel::PL35);
    EXPECT_EQ("0105", ask(*triple.printer, frame("TBL_RD", "CWD610_Version")));
    EXPECT_EQ("", ask(*triple.printer, frame("TBL_RD", "CWD620_Version")));
    EXPECT_EQ("", ask(*triple.printer, frame("TBL_RD", "CWD300_Version", bytesOf("0001"))));
    EXPECT_EQ("", ask(*triple.printer, frame("TBL_RD", "Version")));
    EXPECT_EQ(3u, triple.printer->rejectedCount());

    // Octuple: "0001" for SD, "0003" for PP; nothing else.
    auto octo = makePrinter(PrinterModel::PL45);
    auto& p = *octo.printer;
    p.setColourTable({"PP", 620}, {"0099", "ABCD", "", 0, 0});
    EXPECT_EQ("0100", ask(p, frame("TBL_RD", "CWD620_Version", bytesOf("0001"))));
    EXPECT_EQ("0099", ask(p, frame("TBL_RD", "CWD620_Version", bytesOf("0003"))));
    EXPECT_EQ("ABCD", ask(p, frame("TBL_RD", "CWD620_Checksum", bytesOf("0003"))));
    EXPECT_EQ("", ask(p, frame("TBL_RD", "CWD620_Version")));
    EXPECT_EQ("", ask(p, frame("TBL_RD", "CWD620_Version", bytesOf("0002"))));
}

Bytes versionPayload(const std::string& name) {
    Bytes b = bytesOf(name);
    while (b.size() % 4) b.push_back(0);
    return b;
}

TEST(EmulatorProtocol, ColourTableWritesReplaceTablesVersionThenData) {
    auto lp = makePrinter(PrinterModel::PL35);
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_CL", "")));
    EXPECT_EQ("0000", ask(p, frame("TBL_RD", "CWD300_Version")));

    Bytes version = versionPayload("PL35_300_0111.CWD");
    ASSERT_EQ(20u, version.size());
    Bytes data{1, 2, 3, 250};
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "Version", version)));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "CTRLD_UPDATE_CW", data)));
    EXPECT_EQ("0111", ask(p, frame("TBL_RD", "CWD300_Version")));
    EXPECT_EQ("0100", ask(p, frame("TBL_RD", "CWD300_Checksum")));  // 1 + 2 + 3 + 250 = 0x100
    EXPECT_EQ("0000", ask(p, frame("TBL_RD", "CWD600_Version")));
    auto tables = p.colourTables();
    EXPECT_EQ("PL35_300_0111.CWD", (tables[{"SD", 300}].versionName));
    EXPECT_EQ(4u, (tables[{"SD", 300}].dataSize));
    EXPECT_EQ(0u, p.forbiddenCount());

    // PL45: the media word picks SD or PP.
    auto octo = makePrinter(PrinterModel::PL45);
    ASSERT_EQ(kIOReturnSuccess, send(*octo.printer, frame("TBL_WT", "Version", versionPayload("PL45_PP_610_0101.CWD"))));
    ASSERT_EQ(kIOReturnSuccess, send(*octo.printer, frame("TBL_WT", "CTRLD_UPDATE_CW", data)));
    EXPECT_EQ("0101", ask(*octo.printer, frame("TBL_RD", "CWD610_Version", bytesOf("0003"))));
    EXPECT_EQ("0100", ask(*octo.printer, frame("TBL_RD", "CWD610_Version", bytesOf("0001"))));
}

TEST(EmulatorProtocol, ForbiddenAndRejectedTableWritesLeaveTablesAlone) {
    auto lp = makePrinter(PrinterModel::PL15);
    auto& p = *lp.printer;
    auto before = p.colourTables();

    // An empty data frame after its version: forbidden, nothing changes.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "Version", versionPayload("PL15_300_0161.CWD"))));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "CTRLD_UPDATE_CW")));
    EXPECT_EQ(1u, p.forbiddenCount());
    EXPECT_EQ("empty colour-table data frame", p.forbiddenReasons().at(0));

    // Data without a version frame before it.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "CTRLD_UPDATE_CW", {1, 2, 3, 4})));
    EXPECT_EQ(2u, p.forbiddenCount());

    // Version frames the printer cannot use: unpadded, naming no table, naming a table the model lacks.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "Version", bytesOf("PL15_300_0161.CWD"))));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "Version", versionPayload("TABLE.CWD"))));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "Version", versionPayload("PL15_610_0161.CWD"))));
    EXPECT_EQ(3u, p.rejectedCount());
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_WT", "CTRLD_UPDATE_CW", {1, 2, 3, 4})));
    EXPECT_EQ(3u, p.forbiddenCount()) << "data after a refused version has no version";
    EXPECT_EQ(before, p.colourTables());
    EXPECT_EQ("0150", ask(p, frame("TBL_RD", "Version")));
}

TEST(EmulatorProtocol, ISerialSettingReadWriteAndPowerCycle) {
    auto lp = makePrinter(configFor(PrinterModel::PL45));
    auto& p = *lp.printer;
    EXPECT_EQ("00", ask(p, frame("MNT_RD", "USB_ISERI_SET")));
    EXPECT_EQ(0, p.description().iSerialNumber);

    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00})));
    EXPECT_EQ("01", ask(p, frame("MNT_RD", "USB_ISERI_SET")));
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
    EXPECT_EQ("01", ask(p, frame("MNT_RD", "USB_ISERI_SET")));

    // Malformed setting payloads change nothing.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "USB_ISERI_SET", {0x31, 0x30, 0x0D, 0x00})));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x30, 0x00, 0x00})));
    EXPECT_TRUE(p.iSerialSetting());
    EXPECT_EQ(2u, p.rejectedCount());
}

TEST(EmulatorProtocol, ISerialSettingOnlyWhereTheModelHasIt) {
    auto pl15 = makePrinter(PrinterModel::PL15);
    EXPECT_EQ("", ask(*pl15.printer, frame("MNT_RD", "USB_ISERI_SET")));
    ASSERT_EQ(kIOReturnSuccess, send(*pl15.printer, frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00})));
    EXPECT_FALSE(pl15.printer->iSerialSetting());
    EXPECT_EQ(2u, pl15.printer->rejectedCount());

    EmulatorConfig old = configFor(PrinterModel::PLMV1);
    old.firmwareVersion = "PL-MV1 02.03";
    auto mv203 = makePrinter(old);
    EXPECT_FALSE(mv203.printer->hasISerialSetting());
    EXPECT_EQ("", ask(*mv203.printer, frame("MNT_RD", "USB_ISERI_SET")));
    EmulatorConfig newer = configFor(PrinterModel::PLMV1);
    newer.firmwareVersion = "PL-MV1 02.04";
    newer.iSerial = true;
    auto mv204 = makePrinter(newer);
    EXPECT_TRUE(mv204.printer->hasISerialSetting());
    EXPECT_EQ("01", ask(*mv204.printer, frame("MNT_RD", "USB_ISERI_SET")));
    EXPECT_EQ(3, mv204.printer->description().iSerialNumber);
}

TEST(EmulatorProtocol, UsbIdentityAndDeviceId) {
    EmulatorConfig c = configFor(PrinterModel::PL35);
    c.vendorId = 0x2A72;
    auto lp = makePrinter(c);
    auto& p = *lp.printer;
    auto d = p.description();
    EXPECT_EQ(0x2A72, d.idVendor);
    EXPECT_EQ(0x5C01, d.idProduct);
    EXPECT_EQ(u"Orvane Imaging", d.strings[d.iManufacturer][0x0409]);
    EXPECT_EQ(u"QP-PL35", d.strings[d.iProduct][0x0409]);
    EXPECT_EQ(0, d.iSerialNumber);

    usb::IOUSBDevRequestTO getId;
    getId.bmRequestType = 0xA1;
    getId.bRequest = 0;
    getId.wValue = 0;
    getId.wIndex = 0;
    getId.wLength = 0xFFFF;
    Bytes in;
    ASSERT_EQ(kIOReturnSuccess, p.controlRequest(getId, in));
    ASSERT_GE(in.size(), 2u);
    size_t length = static_cast<size_t>(in[0]) << 8 | in[1];
    EXPECT_EQ(in.size(), length) << "the big-endian length counts its own two bytes";
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

    // SOFT_RESET drops replies not yet read.
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    EXPECT_EQ(1u, p.pendingReplyCount());
    usb::IOUSBDevRequestTO reset;
    reset.bmRequestType = 0x21;
    reset.bRequest = 2;
    EXPECT_EQ(kIOReturnSuccess, p.controlRequest(reset, in));
    EXPECT_EQ(0u, p.pendingReplyCount());
    reset.bRequest = 9;
    EXPECT_EQ(kIOUSBPipeStalled, p.controlRequest(reset, in));
}

TEST(EmulatorProtocol, OffTheBusNothingGetsThrough) {
    auto lp = makePrinter(PrinterModel::PL25);
    auto& p = *lp.printer;
    p.powerLoss();
    EXPECT_FALSE(p.isOnBus());
    EXPECT_FALSE(p.isPowered());
    Bytes f = statusFrame();
    EXPECT_EQ(kIOReturnNoDevice, p.bulkOut(f.data(), f.size(), 10));
    Bytes out;
    EXPECT_EQ(kIOReturnNoDevice, p.bulkIn(out, 8, 10));
    usb::IOUSBDevRequestTO req;
    EXPECT_EQ(kIOReturnNoDevice, p.controlRequest(req, out));
    EXPECT_EQ(0u, p.frameCount());
}

}  // namespace
}  // namespace ovn::sim::test
