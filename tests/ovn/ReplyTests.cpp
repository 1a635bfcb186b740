// Replies as the printer object reads them off the bus: odd headers, bodies with and without carriage return,
// short bodies, time-outs, refused lengths, and what each leaves in the stored values.
#include <gtest/gtest.h>

#include "OvnTestRig.h"

using namespace ovntest;
using ovn::sim::DeviceCommand;
using ovn::sim::Fault;
using ovn::sim::PrinterModel;
using Read = Tap::Read;
using Sizes = std::vector<size_t>;

namespace {

Read ok(std::string_view bytes) { return {kIOReturnSuccess, bytesOf(bytes)}; }
Read fail(IOReturn status) { return {status, {}}; }

// Replaces the stored firmware version, then runs the firmware version query with the scripted reads.
std::optional<std::string> firmwareAfter(PrinterRig& rig, std::vector<Read> reads) {
    rig.printer->deviceInfoDict()->set(QELMOR_ZVPrinterFirmwareVersion, std::string("KEEP"));
    rig.tap->scriptNextReply(std::move(reads));
    rig.act([&] { rig.printer->getPrinterFirmwareVersion(); });
    return rig.printer->firmwareVersion();
}

// Runs the colour-table version query with the interface open and returns the lists handed to the completion.
std::vector<Texts> tableVersionLists(PrinterRig& rig) {
    std::vector<Texts> lists;
    auto printer = rig.printer;
    rig.act([&] {
        printer->openInterface([&, printer](IOReturn result) {
            EXPECT_EQ(result, kIOReturnSuccess);
            printer->getPrinterColorTableVersion([&](const Texts& texts) { lists.push_back(texts); });
            printer->closeInterface(nullptr);
        });
    });
    return lists;
}

}  // namespace

TEST(OVNPrinterReplies, ScriptedFirmwareReplies) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    ASSERT_TRUE(rig.create());
    auto& p = *rig.printer;
    const std::string big(4095, 'x');
    const struct {
        std::vector<Read> reads;
        std::string stored;
    } stored[] = {
        {{ok("00000010"), ok("PL15 01.61")}, "PL15 01.61"},         // no carriage return: the whole body
        {{ok("00000016"), ok(" PL15 01.61 \r\nXY")}, "PL15 01.61"},  // trimmed; the carriage return ends it
        {{ok("00000010"), ok("PL 1")}, "PL 1"},                      // a short body gives what arrived
        {{ok("00004096"), ok(big + "\r")}, big},                     // the largest body accepted
    };
    for (const auto& c : stored) EXPECT_EQ(firmwareAfter(rig, c.reads), c.stored);
    EXPECT_EQ(rig.tap->scriptedReadSizes(), (Sizes{8, 4096}));
    EXPECT_TRUE(p.errors().empty());

    // Refused lengths: nothing stored, the error hook told, no body read; what the printer sent after the
    // header is read and dropped, so that it is not taken for the answer to the next query.
    for (const char* header : {"00004097", "-0000001", "99999999"}) {
        EXPECT_EQ(firmwareAfter(rig, {ok(header), ok("PL15 9.99\r")}), "KEEP") << header;
        EXPECT_EQ(rig.tap->scriptedReadSizes(), (Sizes{8, 4104})) << header;
    }
    expectLogged({"dropped 10 stale reply bytes on"});
    EXPECT_EQ(p.errors(), Texts(3, "Internal error L2112/0"));

    // A failed header read issues no body read; a failed body read stores nothing.
    EXPECT_EQ(firmwareAfter(rig, {fail(kIOReturnTimeout)}), "KEEP");
    EXPECT_EQ(rig.tap->scriptedReadSizes(), Sizes{8});
    EXPECT_EQ(firmwareAfter(rig, {ok("00000010"), fail(kIOUSBPipeStalled)}), "KEEP");
    expectLogged({"bad read (kIOReturnTimeout) on backchannel of", "bad read (kIOUSBPipeStalled) on backchannel of"});
    EXPECT_EQ(p.readStatus(), kIOUSBPipeStalled);
    // Bytes that are not UTF-8 are no text.
    EXPECT_EQ(firmwareAfter(rig, {ok("00000004"), ok("\xff\xfe\r\n")}), "KEEP");
    EXPECT_EQ(rig.emulator->malformedCount(), 0u);
}

TEST(OVNPrinterReplies, StatusCompletionGetsTheRawTextUnlessThePrinterIsHeld) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("01100"));
    ASSERT_TRUE(rig.create());
    ASSERT_EQ(rig.printer->printerStatus(), "Paper End");
    std::vector<std::pair<ZVUSBPrinter::Text, bool>> raws;  // the raw text, and whether it came on the main queue
    auto query = [&] {
        rig.act([&] {
            rig.printer->getPrinterStatus([&](const ZVUSBPrinter::Text& raw) {
                raws.emplace_back(raw, ZVUSBPrinter::isMainQueue());
            });
        });
    };
    // Headers that are no number read as an empty reply: "Idle", handed over as the empty text.
    for (const char* header : {"00000000", "        ", "abcdefgh"}) {
        rig.printer->deviceInfoDict()->set(QELMOR_ZVPrinterStatus, std::string("before"));
        rig.tap->scriptNextReply({ok(header), ok("")});
        query();
        EXPECT_EQ(rig.printer->printerStatus(), "Idle") << header;
        EXPECT_EQ(raws, (std::vector<std::pair<ZVUSBPrinter::Text, bool>>{{"", true}})) << header;
        EXPECT_EQ(rig.tap->scriptedReadSizes(), (Sizes{8, 0})) << header;
        raws.clear();
    }

    rig.emulator->setRawStatus("02610");
    query();
    EXPECT_EQ(raws, (std::vector<std::pair<ZVUSBPrinter::Text, bool>>{{"02610", true}}));
    EXPECT_EQ(rig.printer->printerStatus(), "Motor Temp Error");
    EXPECT_TRUE(rig.hostHolds()) << "the status query leaves the interface open";

    // With the interface held by another program the completion is never called.
    rig.act([&] { rig.printer->closeInterface(nullptr); });
    rig.holdByOther(true);
    rig.clearFrames();
    query();
    EXPECT_EQ(raws.size(), 1u);
    EXPECT_TRUE(rig.commands().empty());
    EXPECT_EQ(rig.printer->printerStatus(), "In use by other application");
    rig.holdByOther(false);
}

TEST(OVNPrinterReplies, PrinterFaultsLeaveValuesAsDocumented) {
    auto firmware = [](RecordingPrinter& p) { p.getPrinterFirmwareVersion(); };
    auto counter = [](RecordingPrinter& p) { p.getPrinterLifetimeCounter(); };
    const std::string version = QELMOR_ZVPrinterFirmwareVersion;
    const struct {
        Fault fault;
        DeviceCommand command;
        std::function<void(RecordingPrinter&)> query;
        std::string key;
        std::optional<std::string> expected;  // nothing: the value before the query stays
    } cases[] = {
        {Fault::NoReply, DeviceCommand::FirmwareVersion, firmware, version, std::nullopt},
        {Fault::LateReply, DeviceCommand::FirmwareVersion, firmware, version, std::nullopt},
        {Fault::OversizeLength, DeviceCommand::FirmwareVersion, firmware, version, std::nullopt},
        {Fault::NoCarriageReturn, DeviceCommand::FirmwareVersion, firmware, version, "PL25DUP 1.30PRN"},
        {Fault::NoReply, DeviceCommand::SerialNumber, [](auto& p) { p.updatePrinterSerialNumber(); },
         QELMOR_ZVPrinterSerialNumber, "NULL"},
        {Fault::NoReply, DeviceCommand::CounterLife, counter, QELMOR_ZVPrinterLifetimeCounter, std::nullopt},
        {Fault::Disconnect, DeviceCommand::CounterLife, counter, QELMOR_ZVPrinterLifetimeCounter, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(ovn::sim::faultName(c.fault)) + " on " + ovn::sim::commandName(c.command));
        PrinterRig rig(RigOptions::of(PrinterModel::PL25D).fw("PL25DUP 1.30PRN"));
        ASSERT_TRUE(rig.create());
        rig.printer->deviceInfoDict()->set(c.key, std::string("before"));
        rig.emulator->injectFault(c.fault, c.command);
        rig.act([&] { c.query(*rig.printer); });
        EXPECT_EQ(rig.printer->deviceInfoDict()->getString(c.key), c.expected.value_or("before"));
        EXPECT_EQ(rig.printer->errors(), c.fault == Fault::OversizeLength ? Texts{"Internal error L2112/0"} : Texts{});
    }
}

TEST(OVNPrinterReplies, EmptyTableReplyStoresNULLAndTheListStaysWhole) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    ASSERT_TRUE(rig.create());
    rig.emulator->injectFault(Fault::NoReply, DeviceCommand::Cwd600Version);
    auto tables = rig.emulator->colourTables();
    const Texts expected = {tables[{"SD", 610}].version, "NULL", tables[{"SD", 300}].version};
    EXPECT_EQ(tableVersionLists(rig), std::vector<Texts>{expected});
    EXPECT_EQ(rig.printer->colorTableVersion600(), "NULL");
    expectLogged({"printer color table version 600: NULL"});

    // A single-table printer hands over a list of one; a version with blanks and a line end is trimmed.
    PrinterRig single(RigOptions::of(PrinterModel::PL15));
    ASSERT_TRUE(single.create());
    single.tap->scriptNextReply({ok("00000008"), ok(" 0161 \r\n")});
    EXPECT_EQ(tableVersionLists(single), std::vector<Texts>{{"0161"}});
    EXPECT_EQ(single.printer->colorTableVersion(), "0161");
}

TEST(OVNPrinterReplies, WaitingForAReplyNeverHoldsTheMainQueue) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    ASSERT_TRUE(rig.create());
    rig.tap->holdReads(true);
    onMain([&] { rig.printer->getPrinterFirmwareVersion(); });
    // (Opening the interface needs the main queue, so it keeps running while the query gets going.)
    ASSERT_TRUE(pumpUntil([&] { return rig.tap->isHolding(); })) << "the query did not reach its read";
    // The command queue is now inside a read; the main queue still runs.
    bool ran = false;
    ovn::DispatchQueue::main()->async([&] { ran = true; });
    EXPECT_TRUE(pumpUntil([&] { return ran; }, 2000));
    EXPECT_EQ(rig.printer->printerCommandQueue()->pendingCount(), 1u);
    rig.tap->holdReads(false);
    rig.settle();
    EXPECT_EQ(rig.printer->firmwareVersion(), rig.emulator->firmwareVersion());
}

TEST(OVNPrinterReplies, FailedWriteIsReportedThroughTheErrorHook) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    ASSERT_TRUE(rig.create());
    ovn::usb::InjectedFault stall;
    stall.kind = ovn::usb::FaultKind::Stall;
    stall.on = ovn::usb::FaultTransfer::BulkOut;
    TestBus::shared().bus->injectFault(rig.deviceId, stall);
    rig.act([&] { rig.printer->resetCounterA(); });
    EXPECT_EQ(rig.printer->errors(), Texts{"Communication error/0"});
    expectLogged({"ERROR: writeToInterfaceWithData: [e000404f] (kIOUSBPipeStalled)"});
    EXPECT_EQ(rig.printer->writeStatus(), kIOUSBPipeStalled);
}
