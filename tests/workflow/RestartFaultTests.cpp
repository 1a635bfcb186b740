// A printer that vanishes, loses power or stops answering in each phase of an update: the state left behind
// lets the printer's next arrival resume, or the user start again, and nothing is reported as a success that
// was not one.
#include <gtest/gtest.h>

#include "WorkflowHarness.h"

using ovn::sim::DeviceCommand;
using ovn::sim::Fault;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

size_t countOf(const ovn::sim::OvnPrinterEmulator& emulator, DeviceCommand command) {
    size_t n = 0;
    for (const auto& f : emulator.frames()) n += f.command == command;
    return n;
}

std::vector<std::optional<int64_t>> phases(const TestRegistry& registry, uint32_t location) {
    std::vector<std::optional<int64_t>> out;
    for (const auto& a : registry.arrivals(location)) out.push_back(a.phase);
    return out;
}

class RestartFaults : public WorkflowTest {
protected:
    void acceptUpdate() {
        presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
        presenter->script(kConfirmTitle, {Answer::second()});
    }
    // Waits until the printer has left and the registry has let go of its object.
    void waitUntilGone(TestRegistry& registry, TestPrinter& tp) {
        ASSERT_TRUE(pumpUntil([&] { return !tp.emulator->isOnBus() && !registry.printerAt(tp.location); }));
    }
};

}  // namespace

TEST_F(RestartFaults, UnpluggedWhileTheWarningIsUpSendsNothing) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    std::weak_ptr<ZVUSBPrinterOVN> first = printer;

    presenter->script(kWarningTitle, {Answer::agreeAndContinue().then([&] { tp.emulator->powerLoss(); })});
    presenter->script("Printer Error", {Answer::second()});
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(waitForAlert("Printer Error"));
    waitUntilGone(registry, tp);
    auto error = presenter->lastTitled("Printer Error");
    EXPECT_EQ(error->message, "The printer is not responding properly. Please power-cycle the printer and try again.");
    EXPECT_EQ(error->buttons, (std::vector<std::string>{"Proceed", "Cancel"}));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashRewrite), 0u);
    pumpUntil([&] { return first.expired(); }, 2000);
    EXPECT_TRUE(first.expired()) << "the released object is freed";

    tp.emulator->powerOn();
    auto again = waitForPrinter(registry, tp);
    ASSERT_TRUE(again);
    EXPECT_EQ(phases(registry, tp.location), (std::vector<std::optional<int64_t>>{std::nullopt, std::nullopt}));
    EXPECT_FALSE(again->inFirmwareUpdate());
}

TEST_F(RestartFaults, PowerLostAsTheRestartCommandArrivesLetsTheUserStartAgain) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL15;
    setup.faults.push_back({Fault::PowerLoss, DeviceCommand::FlashRewrite, 1});
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    waitUntilGone(registry, tp);
    EXPECT_EQ(tp.emulator->firmwareMode(), ovn::sim::FirmwareMode::Normal);

    tp.emulator->powerOn();
    auto again = waitForPrinter(registry, tp);
    ASSERT_TRUE(again);
    EXPECT_TRUE(LogCapture::shared().contains("Bad Status (00000) while waiting for firmware update"));
    EXPECT_EQ(again->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateWaiting);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 0u);

    acceptUpdate();
    onMain([&] { again->updateFirmware(); });
    again.reset();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(presenter->lastTitled(kSuccessTitle)->message, "Firmware version updated from " + before + " to PL15 01.61");
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL15 01.61");
    EXPECT_EQ(tp.emulator->forbiddenCount(), 0u);
}

TEST_F(RestartFaults, PowerLostDuringTheImageUploadsItAgainAtTheNextArrival) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.faults.push_back({Fault::PowerLoss, DeviceCommand::FlashProgram, 1});
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return countOf(*tp.emulator, DeviceCommand::FlashProgram) == 1; }));
    waitUntilGone(registry, tp);
    EXPECT_EQ(tp.emulator->firmwareMode(), ovn::sim::FirmwareMode::Update);
    EXPECT_TRUE(LogCapture::shared().contains("it is sent again when the printer is back"));

    tp.emulator->powerOn();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 2u);
    EXPECT_EQ(phases(registry, tp.location),
              (std::vector<std::optional<int64_t>>{std::nullopt, 1, 1, 2}));
    EXPECT_EQ(presenter->countTitled(kBadFileTitle), 0u);
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL35 01.52");
}

TEST_F(RestartFaults, ImageLostOnTheWayIsSentAgainInsteadOfReportingSuccess) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL45;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    // The host believes the image went out; the printer never got it and still waits after a power cycle.
    tp.wire->loseNext("FW_UPDFLASH_PROGRAM");
    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return tp.wire->lostCount() == 1; }));
    ASSERT_TRUE(pumpUntil([&] {
        auto p = registry.printerAt(tp.location);
        return p && p->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus) == ZVFirmwareUpdateRebooting;
    }));
    tp.emulator->powerCycle();

    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_TRUE(LogCapture::shared().contains("still waits for its firmware: uploading it again"));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 1u) << "the second image is the one that arrived";
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL45 01.05");
    EXPECT_EQ(tp.emulator->rejectedCount(), 0u) << "no colour table is sent to a printer waiting for firmware";
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 1u);
}

TEST_F(RestartFaults, UnpluggedDuringTheColourTablesReportsTheProblemAndFinishesAtTheNextArrival) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.faults.push_back({Fault::Disconnect, DeviceCommand::TableWriteData, 1});
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(waitForAlert(kProblemTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(presenter->lastTitled(kProblemTitle)->message,
              "Previous firmware version: " + before + " current version: PL35 01.52");
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 0u);
    waitUntilGone(registry, tp);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::TableWriteVersion), 1u) << "nothing is sent after the loss";

    tp.emulator->powerOn();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(phases(registry, tp.location).back(), ZVFirmwareUpdateRebooting) << "the colour tables are resumed";
    for (const auto& [id, table] : tp.emulator->colourTables())
        EXPECT_FALSE(table.versionName.empty()) << id.media << " " << id.number;
    EXPECT_EQ(tp.emulator->forbiddenCount(), 0u) << ::testing::PrintToString(tp.emulator->forbiddenReasons());
    auto last = registry.printerAt(tp.location);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateFinished);
}

TEST_F(RestartFaults, SilentPrinterInUpdateModeIsResumedAtItsNextArrival) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL25;
    setup.restartDelayMs = 300;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(pumpUntil([&] { return !tp.emulator->isOnBus(); }));
    // Back in update mode, the printer does not answer the first status query.
    tp.emulator->injectFault(Fault::NoReply, DeviceCommand::Status, 1);
    auto waiting = waitForArrival(registry, tp, 2);
    ASSERT_TRUE(waiting);
    pumpFor(100);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 0u);
    EXPECT_EQ(waiting->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateWaiting);
    EXPECT_TRUE(waiting->inFirmwareUpdate());
    waiting.reset();

    tp.emulator->powerCycle();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL25 01.30");
}

TEST_F(RestartFaults, PowerLostOnTheIntermediateFirmwareStillFinishesOnce) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PLMV1;
    setup.settleMs = 400;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    // Arrived on the intermediate firmware (the third object).
    ASSERT_TRUE(pumpUntil([&] {
        return registry.arrivals(tp.location).size() == 3 &&
               tp.emulator->firmwareMode() == ovn::sim::FirmwareMode::Intermediate;
    }));
    tp.emulator->powerLoss();
    pumpFor(50);
    tp.emulator->powerOn();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    pumpFor(200);
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 1u);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::TableClear), 1u) << "nothing is written to the intermediate firmware";
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL-MV1 02.06");
    auto seen = phases(registry, tp.location);
    EXPECT_EQ(seen, (std::vector<std::optional<int64_t>>{std::nullopt, 1, 2, 2, 2}));
}
