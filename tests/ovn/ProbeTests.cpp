// The information probe against the emulated printer: frames on the wire, their order per model, and the
// values the printer object stores and announces.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "OvnTestRig.h"
#include "platform/Bundle.h"
#include "sim/OvnDeviceProtocol.h"

using namespace ovntest;
using ovn::sim::PrinterModel;

namespace {

const Texts kSingleProbe = {"STATUS",         "INFO FVER",           "MNT_RD COUNTER_LIFE",
                            "TBL_RD Version", "MNT_RD CTRLD_CHKSUM", "INFO SERIAL_NUMBER"};

// The commands for the tables, in the order the printer is asked.
Texts tableQueries(const std::string& what, std::initializer_list<int> tables, int times = 1) {
    Texts out;
    for (int i = 0; i < times; ++i)
        for (int t : tables) out.push_back("TBL_RD CWD" + std::to_string(t) + "_" + what);
    return out;
}

Texts concat(std::initializer_list<Texts> parts) {
    Texts out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(OVNPrinterProbe, DuplexProbeFramesValuesAndAnnouncements) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).fw("PL25DUP 1.30PRN").life(12345));
    auto printer = rig.create();
    ASSERT_TRUE(printer);

    // The first probe: a status query, then the information probe with its own status query, byte for byte.
    EXPECT_EQ(rig.commands(), concat({{"STATUS"}, kSingleProbe}));
    const Bytes status = expectedFrame("STATUS", ""), fver = expectedFrame("INFO  ", "FVER");
    ASSERT_EQ(status.size(), 32u);
    EXPECT_EQ(std::string(fver.begin() + 8, fver.begin() + 12), "FVER");
    EXPECT_EQ(rig.tap->written(),
              (std::vector<Bytes>{status, status, fver, expectedFrame("MNT_RD", "COUNTER_LIFE"),
                                  expectedFrame("TBL_RD", "Version"), expectedFrame("MNT_RD", "CTRLD_CHKSUM"),
                                  expectedFrame("INFO  ", "SERIAL_NUMBER")}));
    EXPECT_EQ(rig.emulator->malformedCount(), 0u);

    EXPECT_EQ(printer->firmwareVersion(), "PL25DUP 1.30PRN");
    EXPECT_EQ(printer->printerSerialNumber(), rig.emulator->serial());
    EXPECT_EQ(printer->lifetimeCounter(), "12345");
    EXPECT_EQ(printer->printerStatus(), "Idle");
    EXPECT_EQ(printer->colorTableVersion(), "0120");
    auto tables = rig.emulator->colourTables();
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(printer->colorTableChecksum300(), tables.begin()->second.checksum);
    EXPECT_EQ(printer->usbISerialString(), "Unavailable");
    EXPECT_FALSE(printer->usbISerial());
    // Keys of tables the model does not have stay absent.
    for (const char* key : {"colorTableVersion600", "colorTableVersion620HD", "colorTableChecksum610"})
        EXPECT_TRUE(ovn::isNothing(printer->valueForKey(key))) << key;
    EXPECT_EQ(textValue(*printer, "lifetimeCounter"), "12345");
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_ZVPrinterLifetimeCounter), "12345");
    EXPECT_FALSE(rig.hostHolds()) << "the probe leaves the interface closed for other programs";

    // The registry's own probe runs the same queries again, announcing each value on the main queue.
    Announcements seen(*printer, {"firmwareVersion", "printerSerialNumber", "lifetimeCounter", "colorTableVersion",
                                  "colorTableChecksum300", "printerStatus"});
    rig.emulator->setLifetimeCounter(12346);
    rig.clearFrames();
    rig.act([&] { printer->probe(); });
    EXPECT_EQ(rig.commands(), kSingleProbe);
    EXPECT_EQ(printer->lifetimeCounter(), "12346");
    auto all = seen.seen();
    ASSERT_EQ(all.size(), 6u) << "one announcement per stored value";
    for (const auto& s : all) EXPECT_TRUE(s.onMain) << s.key;
    EXPECT_EQ(seen.valuesOf("lifetimeCounter").back(), "12346");
    EXPECT_EQ(seen.valuesOf("firmwareVersion").back(), "PL25DUP 1.30PRN");
}

TEST(OVNPrinterProbe, ProbeStartedWithTheRegistryRunsTwiceWithoutInterleaving) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    rig.act([&] {  // the registry calls probe at once after creating the printer
        rig.printer = ZVUSBPrinter::create<RecordingPrinter>(rig.interface, rig.service);
        ASSERT_TRUE(rig.printer);
        rig.printer->probe();
    });
    auto cmds = rig.commands();
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "INFO FVER"), 2);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "INFO SERIAL_NUMBER"), 2);
    // Each probe's information queries follow each other in the fixed order.
    auto fver = std::find(cmds.begin(), cmds.end(), "INFO FVER");
    ASSERT_LE(fver + 5, cmds.end());
    EXPECT_EQ(Texts(fver, fver + 5), Texts(kSingleProbe.begin() + 1, kSingleProbe.end()));
    EXPECT_EQ(rig.emulator->malformedCount(), 0u);
    EXPECT_EQ(rig.printer->firmwareVersion(), rig.emulator->firmwareVersion());
}

TEST(OVNPrinterProbe, PL45QueriesEightTablesPerMediaAndItsSerialSetting) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL45).fw("PL45 01.02").serialSetting(true));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    rig.clearFrames();
    rig.act([&] { printer->probe(); });
    const Texts expected = concat({{"STATUS", "INFO FVER", "MNT_RD COUNTER_LIFE"},
                                   tableQueries("Version", {620, 610, 600, 300}, 2),
                                   tableQueries("Checksum", {620, 610, 600, 300}, 2),
                                   {"INFO SERIAL_NUMBER", "MNT_RD USB_ISERI_SET"}});
    EXPECT_EQ(rig.commands(), expected);

    auto written = rig.tap->written();
    ASSERT_EQ(written.size(), expected.size());
    // Four with the SD payload, then four with PP, each 36 bytes with the length field 00000004.
    for (size_t i = 3; i < 11; ++i)
        EXPECT_EQ(std::string(written[i].begin() + 24, written[i].end()), i < 7 ? "000000040001" : "000000040003") << i;
    EXPECT_EQ(written[3], expectedFrame("TBL_RD", "CWD620_Version", bytesOf("0001")));
    EXPECT_EQ(written[14], expectedFrame("TBL_RD", "CWD300_Checksum", bytesOf("0001")));
    EXPECT_EQ(written.back(), expectedFrame("MNT_RD", "USB_ISERI_SET"));

    // Each table's answer lands under its own key; table 300 for SD is the plain colorTableVersion.
    auto tables = rig.emulator->colourTables();
    EXPECT_EQ(printer->colorTableVersion(), (tables[{"SD", 300}].version));
    EXPECT_EQ(printer->colorTableVersion620HD(), (tables[{"PP", 620}].version));
    EXPECT_EQ(printer->colorTableChecksum300(), (tables[{"SD", 300}].checksum));
    EXPECT_EQ(printer->colorTableChecksum610HD(), (tables[{"PP", 610}].checksum));
    EXPECT_EQ(printer->colorTableChecksum620(), (tables[{"SD", 620}].checksum));
    EXPECT_TRUE(ovn::isNothing(printer->valueForKey("colorTableVersion300")));
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_OVN_USB_ISerialisSet), "1");
    EXPECT_TRUE(printer->usbISerial());
    EXPECT_EQ(printer->usbISerialString(), "Enabled");
    EXPECT_EQ(printer->valueForKey("usbISerial"), ovn::Value(true));
}

TEST(OVNPrinterProbe, PL35QueriesThreeTablesWithoutPayload) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_EQ(rig.commands(),
              concat({{"STATUS", "STATUS", "INFO FVER", "MNT_RD COUNTER_LIFE"},
                      tableQueries("Version", {610, 600, 300}), tableQueries("Checksum", {610, 600, 300}),
                      {"INFO SERIAL_NUMBER", "MNT_RD USB_ISERI_SET"}}));
    for (const auto& f : rig.tap->written()) EXPECT_EQ(f.size(), 32u);
    EXPECT_EQ(rig.emulator->rejectedCount(), 0u);
    for (std::string k : ovn::protocol::colorTableKeys())
        EXPECT_EQ(ovn::isNothing(printer->valueForKey(k)), k.find("620") != k.npos || k.find("HD") != k.npos) << k;
    auto tables = rig.emulator->colourTables();
    EXPECT_EQ(printer->colorTableVersion610(), (tables[{"SD", 610}].version));
    EXPECT_EQ(printer->colorTableChecksum300(), (tables[{"SD", 300}].checksum));
    EXPECT_EQ(printer->usbISerialString(), "Disabled");
}

TEST(OVNPrinterProbe, MV1SerialSettingFollowsTheFirmwareVersionThisProbeReads) {
    for (auto [firmware, supported] : {std::pair{"PL-MV1 02.03", false}, {"PL-MV1 02.04", true}}) {
        SCOPED_TRACE(firmware);
        PrinterRig rig(RigOptions::of(PrinterModel::PLMV1).fw(firmware).serialSetting(true));
        auto printer = rig.create();
        ASSERT_TRUE(printer);
        auto cmds = rig.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "MNT_RD USB_ISERI_SET"), supported ? 1 : 0);
        EXPECT_EQ(cmds.back() == "MNT_RD USB_ISERI_SET", supported);
        EXPECT_EQ(rig.emulator->rejectedCount(), 0u);
        EXPECT_EQ(printer->hasISerialSupport(), supported);
        EXPECT_EQ(printer->usbISerialString(), supported ? "Enabled" : "Unavailable");
    }
}

TEST(OVNPrinterProbe, CounterResets) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    ASSERT_NE(rig.emulator->mediaCounter('A'), 0u);
    const uint32_t b = rig.emulator->mediaCounter('B');
    rig.clearFrames();
    rig.act([&] { printer->resetCounterA(); });
    rig.act([&] { printer->resetCounter('X'); });  // an unknown counter letter sends nothing
    rig.act([&] { printer->resetCounterM(); });
    EXPECT_EQ(rig.tap->written(), (std::vector<Bytes>{expectedFrame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D, 0x00}),
                                                      expectedFrame("MNT_WT", "COUNTER_CLR", {0x43, 0x4D, 0x0D, 0})}));
    EXPECT_EQ(rig.emulator->mediaCounter('A'), 0u);
    EXPECT_EQ(rig.emulator->mediaCounter('B'), b);
    EXPECT_EQ(rig.emulator->mediaCounter('M'), 0u);
}

TEST(OVNPrinterProbe, OverriddenStatusAndPicture) {
    auto dir = std::filesystem::temp_directory_path() / ("ovn-pictures-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "PL35A_LSide.png") << "png";
    const std::string previous = ovn::Bundle::resourceDirectory();
    ovn::Bundle::setResourceDirectory(dir.string());

    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_EQ(printer->image(), "PL35A_LSide.png");
    EXPECT_EQ(printer->imagePath(), (dir / "PL35A_LSide.png").string());
    EXPECT_EQ(textValue(*printer, "image"), "PL35A_LSide.png");
    std::filesystem::remove(dir / "PL35A_LSide.png");
    EXPECT_FALSE(printer->image()) << "a picture missing from the delivered data";

    Announcements seen(*printer, {"printerStatus"});
    rig.act([&] {
        printer->setOverridePrinterStatus("Updating firmware ...");
        EXPECT_EQ(printer->printerStatus(), "Idle") << "handed to the main queue: not changed yet";
    });
    EXPECT_EQ(printer->printerStatus(), "Updating firmware ...");
    ASSERT_EQ(seen.seen().size(), 1u);
    EXPECT_TRUE(seen.seen()[0].onMain);
    EXPECT_EQ(seen.seen()[0].value, "Updating firmware ...");
    expectLogged({"forcing printer status string to \"Updating firmware ...\""});

    ovn::Bundle::setResourceDirectory(previous);
    std::filesystem::remove_all(dir);
}

TEST(OVNPrinterProbe, AcceptedUSBIdentities) {
    using Set = ZVUSBPrinter::IndexSet;
    EXPECT_EQ(ZVUSBPrinterOVN::supportedVendorIDs(), (Set{0x2A71, 0x2A72}));
    EXPECT_EQ(ZVUSBPrinterOVN::supportedProductIDs(), (Set{0x0106}));
    ZVUSBPrinterOVN::addSupportedProductIDs({0x5C01, 0x5D01});
    EXPECT_EQ(ZVUSBPrinterOVN::supportedProductIDs(), (Set{0x0106, 0x5C01, 0x5D01}));
    auto printer = std::make_shared<ZVUSBPrinterOVN>();
    EXPECT_EQ(printer->classSupportedProductIDs(), ZVUSBPrinterOVN::supportedProductIDs());
    EXPECT_EQ(printer->classSupportedVendorIDs(), ZVUSBPrinterOVN::supportedVendorIDs());
    ZVUSBPrinterOVN::resetSupportedProductIDs();
    EXPECT_EQ(ZVUSBPrinterOVN::supportedProductIDs(), (Set{0x0106}));
    EXPECT_FALSE(ZVUSBPrinter::supportedVendorIDs());  // the generic printer accepts nothing
}

// Every frame the host can build is one the printer's own parser accepts as the same command.
TEST(OVNPrinterProbe, EveryHostFrameParsesOnThePrinterSide) {
    for (uint32_t code = 0; code <= 43; ++code) {
        if (!ovn::protocol::commandInfo(code)) continue;
        Bytes payload;
        if (code == 35) {
            payload = {'C', 'A', 0x0D, 0};
        } else if (code == 42) {
            payload = {'0', '1', 0x0D, 0};
        } else if (ovn::protocol::hasFixedPayloadField(code)) {
            payload.assign(ovn::protocol::payloadFieldSize(code, 0), '0');
        } else if (ovn::protocol::payloadFieldSize(code, 4) == 4) {
            payload = bytesOf("0001");
        }
        auto frame = ovn::protocol::buildCommandFrame(code, payload);
        auto parsed = ovn::sim::parseCommandFrame(frame.frame.data(), frame.frame.size());
        ASSERT_TRUE(parsed.frame) << code << ": " << parsed.error;
        EXPECT_EQ(static_cast<uint32_t>(parsed.frame->command), code);
        EXPECT_EQ(parsed.frame->payload, payload) << code;
    }
}
