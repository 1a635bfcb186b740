// Replies as the printer object reads them off the bus: odd headers, bodies with and without carriage return,
// short bodies, time-outs, refused lengths, and what each leaves in the stored values.
#include <gtest/gtest.h>

#include "OvnTestRig.h"

using namespace ovntest;
using ovn::sim::DeviceCommand;
using ovn::sim::Fault;
using ovn::sim::PrinterModel;
using Read = Tap::Read;

namespace {

Read ok(std::string_view bytes) { return {kIOReturnSuccess, bytesOf(bytes)}; }
Read fail(IOReturn status) { return {status, {}}; }

// Replaces the stored firmware version, then runs the firmware version query with the scripted reads.
std::optional<std::string> firmwareAfter(PrinterRig& rig, std::vector<Read> reads) {
    rig.printer->deviceInfoDict()->set(QELMOR_ZVPrinterFirmwareVersion, std::string("KEEP"));
    rig.tap->scriptNextReply(std::move(reads));
    onMain([&] { rig.printer->getPrinterFirmwareVersion(); });
    rig.settle();
    return rig.printer->firmwareVersion();
}

}  // namespace

TEST(OVNPrinterReplies, ScriptedFirmwareReplies) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    ASSERT_TRUE(rig.create());
    auto& p = *rig.printer;

    // Without a carriage return the whole body is the text.
    EXPECT_EQ(firmwareAfter(rig, {ok("00000010"), ok("PL15 01.61")}), "PL15 01.61");
    // Trimmed at both ends; the carriage return ends the text.
    EXPECT_EQ(firmwareAfter(rig, {ok("00000016"), ok(" PL15 01.61 \r\nXY")}), "PL15 01.61");
    // A short body gives what arrived.
    EXPECT_EQ(firmwareAfter(rig, {ok("00000010"), ok("PL 1")}), "PL 1");
    // The largest body accepted.
    std::string big(4095, 'x');
    EXPECT_EQ(firmwareAfter(rig, {ok("00004096"), ok(big + "\r")}), big);
    EXPECT_EQ(rig.tap->scriptedReadSizes(), (std::vector<size_t>{8, 4096}));
    EXPECT_TRUE(p.errors().empty());

    // Refused lengths: nothing stored, the error hook told, no body read.
    for (const char* header : {"00004097", "-0000001", "99999999"}) {
        EXPECT_EQ(firmwareAfter(rig, {ok(header), ok("PL15 9.99\r")}), "KEEP") << header;
        EXPECT_EQ(rig.tap->scriptedReadSizes(), std::vector<size_t>{8}) << header;
    }
    EXPECT_EQ(p.errors(), std::vector<std::string>(3, "Internal error L2112/0"));

    // A failed header read issues no body read; a failed body read stores nothing.
    EXPECT_EQ(firmwareAfter(rig, {fail(kIOReturnTimeout)}), "KEEP");
    EXPECT_EQ(rig.tap->scriptedReadSizes(), std::vector<size_t>{8});
    EXPECT_TRUE(LogCapture::shared().contains("bad read (kIOReturnTimeout) on backchannel of"));
    EXPECT_EQ(firmwareAfter(rig, {ok("00000010"), fail(kIOUSBPipeStalled)}), "KEEP");
    EXPECT_TRUE(LogCapture::shared().contains("bad read (kIOUSBPipeStalled) on backchannel of"));
    EXPECT_EQ(p.readStatus(), kIOUSBPipeStalled);
    // Bytes that are not UTF-8 are no text.
    EXPECT_EQ(firmwareAfter(rig, {ok("00000004"), ok("\xff\xfe\r\n")}), "KEEP");
    EXPECT_EQ(rig.emulator->malformedCount(), 0u);
}

TEST(OVNPrinterReplies, StatusHeadersThatAreNoNumberReadAsAnEmptyIdleStatus) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("01100"));
    ASSERT_TRUE(rig.create());
    ASSERT_EQ(rig.printer->printerStatus(), "Paper End");
    for (const char* header : {"00000000", "        ", "abcdefgh"}) {
        rig.printer->deviceInfoDict()->set(QELMOR_ZVPrinterStatus, std::string("before"));
        std::vector<std::optional<std::string>> raws;
        rig.tap->scriptNextReply({ok(header), ok("")});
        onMain([&] { rig.printer->getPrinterStatus([&](const ZVUSBPrinter::Text& raw) { raws.push_back(raw); }); });
        rig.settle();
        EXPECT_EQ(rig.printer->printerStatus(), "Idle") << header;
        ASSERT_EQ(raws.size(), 1u) << header;
        EXPECT_EQ(raws[0], "") << header;
        EXPECT_EQ(rig.tap->scriptedReadSizes(), (std::vector<size_t>{8, 0})) << header;
    }
}

TEST(OVNPrinterReplies, StatusCompletionGetsTheRawText) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("02610"));
    ASSERT_TRUE(rig.create());
    std::vector<std::optional<std::string>> raws;
    bool onMainQueue = false;
    onMain([&] {
        rig.printer->getPrinterStatus([&](const ZVUSBPrinter::Text& raw) {
            raws.push_back(raw);
            onMainQueue = ZVUSBPrinter::isMainQueue();
        });
    });
    rig.settle();
    ASSERT_EQ(raws.size(), 1u);
    EXPECT_EQ(raws[0], "02610");
    EXPECT_TRUE(onMainQueue);
    EXPECT_EQ(rig.printer->printerStatus(), "Motor Temp Error");
    EXPECT_TRUE(TestBus::shared().bus->isOpenByHost(rig.deviceId)) << "the status query leaves the interface open";

    // With the interface held by another program the completion is never called.
    onMain([&] { rig.printer->closeInterface(nullptr); });
    rig.settle();
    TestBus::shared().bus->setHeldByOtherApplication(rig.deviceId, true);
    rig.settle();
    rig.clearFrames();
    onMain([&] { rig.printer->getPrinterStatus([&](const ZVUSBPrinter::Text& raw) { raws.push_back(raw); }); });
    rig.settle();
    EXPECT_EQ(raws.size(), 1u);
    EXPECT_TRUE(rig.commands().empty());
    EXPECT_EQ(rig.printer->printerStatus(), "In use by other application");
    TestBus::shared().bus->setHeldByOtherApplication(rig.deviceId, false);
    rig.settle();
}

TEST(OVNPrinterReplies, PrinterFaultsLeaveValuesAsDocumented) {
    struct Case {
        Fault fault;
        DeviceCommand command;
        std::function<void(RecordingPrinter&)> query;
        std::string key;
        std::optional<std::string> expected;  // nothing: the value before the query stays
    };
    const std::vector<Case> cases = {
        {Fault::NoReply, DeviceCommand::FirmwareVersion, [](auto& p) { p.getPrinterFirmwareVersion(); },
         QELMOR_ZVPrinterFirmwareVersion, std::nullopt},
        {Fault::LateReply, DeviceCommand::FirmwareVersion, [](auto& p) { p.getPrinterFirmwareVersion(); },
         QELMOR_ZVPrinterFirmwareVersion, std::nullopt},
        {Fault::OversizeLength, DeviceCommand::FirmwareVersion, [](auto& p) { p.getPrinterFirmwareVersion(); },
         QELMOR_ZVPrinterFirmwareVersion, std::nullopt},
        {Fault::NoCarriageReturn, DeviceCommand::FirmwareVersion, [](auto& p) { p.getPrinterFirmwareVersion(); },
         QELMOR_ZVPrinterFirmwareVersion, "PL25DUP 1.30PRN"},
        {Fault::NoReply, DeviceCommand::SerialNumber, [](auto& p) { p.updatePrinterSerialNumber(); },
         QELMOR_ZVPrinterSerialNumber, "NULL"},
        {Fault::NoReply, DeviceCommand::CounterLife, [](auto& p) { p.getPrinterLifetimeCounter(); },
         QELMOR_ZVPrinterLifetimeCounter, std::nullopt},
        {Fault::Disconnect, DeviceCommand::CounterLife, [](auto& p) { p.getPrinterLifetimeCounter(); },
         QELMOR_ZVPrinterLifetimeCounter, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(ovn::sim::faultName(c.fault)) + " on " + ovn::sim::commandName(c.command));
        PrinterRig rig(RigOptions::of(PrinterModel::PL25D).fw("PL25DUP 1.30PRN"));
        ASSERT_TRUE(rig.create());
        rig.printer->deviceInfoDict()->set(c.key, std::string("before"));
        rig.emulator->injectFault(c.fault, c.command);
        onMain([&] { c.query(*rig.printer); });
        rig.settle();
        EXPECT_EQ(rig.printer->deviceInfoDict()->getString(c.key), c.expected.value_or("before"));
        if (c.fault == Fault::OversizeLength) {
            EXPECT_EQ(rig.printer->errors(), std::vector<std::string>{"Internal error L2112/0"});
        }
    }
}

TEST(OVNPrinterReplies, EmptyTableReplyStoresNULLAndTheListStaysWhole) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    ASSERT_TRUE(rig.create());
    rig.emulator->injectFault(Fault::NoReply, DeviceCommand::Cwd600Version);
    std::vector<std::vector<std::string>> lists;
    auto printer = rig.printer;
    onMain([&] {
        printer->openInterface([&, printer](IOReturn result) {
            ASSERT_EQ(result, kIOReturnSuccess);
            printer->getPrinterColorTableVersion([&](const std::vector<std::string>& texts) { lists.push_back(texts); });
            printer->closeInterface(nullptr);
        });
    });
    rig.settle();
    auto tables = rig.emulator->colourTables();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0], (std::vector<std::string>{tables[{"SD", 610}].version, "NULL", tables[{"SD", 300}].version}));
    EXPECT_EQ(printer->colorTableVersion600(), "NULL");
    EXPECT_TRUE(LogCapture::shared().contains("printer color table version 600: NULL"));

    // A single-table printer hands over a list of one; a version with blanks and a line end is trimmed.
    PrinterRig single(RigOptions::of(PrinterModel::PL15));
    ASSERT_TRUE(single.create());
    auto pl15 = single.printer;
    single.tap->scriptNextReply({ok("00000008"), ok(" 0161 \r\n")});
    onMain([&] {
        pl15->openInterface([&, pl15](IOReturn) {
            pl15->getPrinterColorTableVersion([&](const std::vector<std::string>& texts) { lists.push_back(texts); });
        });
    });
    single.settle();
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[1], std::vector<std::string>{"0161"});
    EXPECT_EQ(pl15->colorTableVersion(), "0161");
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
    onMain([&] { rig.printer->resetCounterA(); });
    rig.settle();
    EXPECT_EQ(rig.printer->errors(), std::vector<std::string>{"Communication error/0"});
    EXPECT_TRUE(LogCapture::shared().contains("ERROR: writeToInterfaceWithData: [e000404f] (kIOUSBPipeStalled)"));
    EXPECT_EQ(rig.printer->writeStatus(), kIOUSBPipeStalled);
}
