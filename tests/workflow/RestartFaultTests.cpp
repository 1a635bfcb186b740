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

using Phases = std::vector<std::optional<int64_t>>;

class RestartFaults : public WorkflowTest {
protected:
    // Waits until the printer has left and the registry has let go of its object.
    void waitUntilGone() {
        ASSERT_TRUE(pumpUntil([&] { return !tp->emulator->isOnBus() && !registry->printerAt(tp->location); }));
    }
    // A printer whose command meets the fault once.
    std::shared_ptr<ZVUSBPrinterOVN> startWithFault(PrinterModel model, Fault fault, DeviceCommand command) {
        PrinterSetup setup{.model = model};
        setup.faults.push_back({fault, command, 1});
        return start(setup);
    }
    size_t count(DeviceCommand command) const { return countFrames(*tp->emulator, command); }
    std::optional<int64_t> phaseOf(const std::shared_ptr<ZVUSBPrinterOVN>& printer) const {
        return printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus);
    }
};

}  // namespace

TEST_F(RestartFaults, UnpluggedWhileTheWarningIsUpSendsNothing) {
    auto printer = start({.model = PrinterModel::PL35});
    ASSERT_TRUE(printer);
    std::weak_ptr<ZVUSBPrinterOVN> first = printer;
    presenter->script(kWarningTitle, {Answer::agreeAndContinue().then([&] { tp->emulator->powerLoss(); })});
    presenter->script("Printer Error", {Answer::second()});
    runUpdate(printer, false);
    ASSERT_TRUE(waitForAlert("Printer Error"));
    waitUntilGone();
    expectAlert("Printer Error", "The printer is not responding properly. Please power-cycle the printer and try again.",
                {"Proceed", "Cancel"});
    EXPECT_EQ(count(DeviceCommand::FlashRewrite), 0u);
    EXPECT_TRUE(pumpUntil([&] { return first.expired(); }, 2000)) << "the released object is freed";

    tp->emulator->powerOn();
    auto again = waitForPrinter(*registry, *tp);
    ASSERT_TRUE(again);
    EXPECT_EQ(phases(), (Phases{std::nullopt, std::nullopt}));
    EXPECT_FALSE(again->inFirmwareUpdate());
}

TEST_F(RestartFaults, PowerLostAsTheRestartCommandArrivesLetsTheUserStartAgain) {
    auto printer = startWithFault(PrinterModel::PL15, Fault::PowerLoss, DeviceCommand::FlashRewrite);
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();
    runUpdate(printer);
    waitUntilGone();
    EXPECT_EQ(tp->emulator->firmwareMode(), ovn::sim::FirmwareMode::Normal);

    tp->emulator->powerOn();
    auto again = waitForPrinter(*registry, *tp);
    ASSERT_TRUE(again);
    EXPECT_TRUE(LogCapture::shared().contains("Bad Status (00000) while waiting for firmware update"));
    EXPECT_EQ(phaseOf(again), std::nullopt);
    EXPECT_EQ(count(DeviceCommand::FlashProgram), 0u);

    runUpdate(again);
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_EQ(presenter->lastTitled(kSuccessTitle)->message, "Firmware version updated from " + before + " to PL15 01.61");
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL15 01.61");
    EXPECT_EQ(tp->emulator->forbiddenCount(), 0u);
}

TEST_F(RestartFaults, PowerLostDuringTheImageUploadsItAgainAtTheNextArrival) {
    auto printer = startWithFault(PrinterModel::PL35, Fault::PowerLoss, DeviceCommand::FlashProgram);
    ASSERT_TRUE(printer);
    runUpdate(printer);
    ASSERT_TRUE(pumpUntil([&] { return count(DeviceCommand::FlashProgram) == 1; }));
    waitUntilGone();
    EXPECT_EQ(tp->emulator->firmwareMode(), ovn::sim::FirmwareMode::Update);
    EXPECT_TRUE(LogCapture::shared().contains("it is sent again when the printer is back"));

    tp->emulator->powerOn();
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_EQ(count(DeviceCommand::FlashProgram), 2u);
    EXPECT_EQ(phases(), (Phases{std::nullopt, 1, 1, 2}));
    EXPECT_EQ(presenter->countTitled(kBadFileTitle), 0u);
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL35 01.52");
}

TEST_F(RestartFaults, ImageLostOnTheWayIsSentAgainInsteadOfReportingSuccess) {
    auto printer = start({.model = PrinterModel::PL45});
    ASSERT_TRUE(printer);
    // The host believes the image went out; the printer never got it and still waits after a power cycle.
    tp->wire->loseNext("FW_UPDFLASH_PROGRAM");
    runUpdate(printer);
    ASSERT_TRUE(pumpUntil([&] { return tp->wire->lostCount() == 1; }));
    ASSERT_TRUE(pumpUntil([&] {
        auto p = registry->printerAt(tp->location);
        return p && phaseOf(p) == ZVFirmwareUpdateRebooting;
    }));
    tp->emulator->powerCycle();
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_TRUE(LogCapture::shared().contains("still waits for its firmware: uploading it again"));
    EXPECT_EQ(count(DeviceCommand::FlashProgram), 1u) << "the second image is the one that arrived";
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL45 01.05");
    EXPECT_EQ(tp->emulator->rejectedCount(), 0u) << "no colour table is sent to a printer waiting for firmware";
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 1u);
}

TEST_F(RestartFaults, UnpluggedDuringTheColourTablesReportsTheProblemAndFinishesAtTheNextArrival) {
    auto printer = startWithFault(PrinterModel::PL35, Fault::Disconnect, DeviceCommand::TableWriteData);
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();
    runUpdate(printer);
    ASSERT_TRUE(alertShown(kProblemTitle));
    EXPECT_EQ(presenter->lastTitled(kProblemTitle)->message,
              "Previous firmware version: " + before + " current version: PL35 01.52");
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 0u);
    waitUntilGone();
    EXPECT_EQ(count(DeviceCommand::TableWriteVersion), 1u) << "nothing is sent after the loss";

    tp->emulator->powerOn();
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_EQ(phases().back(), ZVFirmwareUpdateRebooting) << "the colour tables are resumed";
    for (const auto& [id, table] : tp->emulator->colourTables())
        EXPECT_FALSE(table.versionName.empty()) << id.media << " " << id.number;
    EXPECT_EQ(tp->emulator->forbiddenCount(), 0u) << ::testing::PrintToString(tp->emulator->forbiddenReasons());
    auto last = registry->printerAt(tp->location);
    ASSERT_TRUE(last);
    EXPECT_EQ(phaseOf(last), ZVFirmwareUpdateFinished);
}

TEST_F(RestartFaults, SilentPrinterInUpdateModeIsResumedAtItsNextArrival) {
    auto printer = start({.model = PrinterModel::PL25, .restartDelayMs = 300});
    ASSERT_TRUE(printer);
    runUpdate(printer);
    ASSERT_TRUE(pumpUntil([&] { return !tp->emulator->isOnBus(); }));
    // Back in update mode, the printer does not answer the first status query.
    tp->emulator->injectFault(Fault::NoReply, DeviceCommand::Status, 1);
    auto waiting = waitForArrival(*registry, *tp, 2);
    ASSERT_TRUE(waiting);
    pumpFor(100);
    EXPECT_EQ(count(DeviceCommand::FlashProgram), 0u);
    EXPECT_EQ(phaseOf(waiting), ZVFirmwareUpdateWaiting);
    EXPECT_TRUE(waiting->inFirmwareUpdate());
    waiting.reset();

    tp->emulator->powerCycle();
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL25 01.30");
}

TEST_F(RestartFaults, PowerLostOnTheIntermediateFirmwareStillFinishesOnce) {
    auto printer = start({.model = PrinterModel::PLMV1, .settleMs = 400});
    ASSERT_TRUE(printer);
    runUpdate(printer);
    // Arrived on the intermediate firmware (the third object).
    ASSERT_TRUE(pumpUntil([&] {
        return registry->arrivals(tp->location).size() == 3 &&
               tp->emulator->firmwareMode() == ovn::sim::FirmwareMode::Intermediate;
    }));
    tp->emulator->powerLoss();
    pumpFor(50);
    tp->emulator->powerOn();
    ASSERT_TRUE(alertShown(kSuccessTitle));
    pumpFor(200);
    EXPECT_EQ(presenter->countTitled(kSuccessTitle), 1u);
    EXPECT_EQ(count(DeviceCommand::TableClear), 1u) << "nothing is written to the intermediate firmware";
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL-MV1 02.06");
    EXPECT_EQ(phases(), (Phases{std::nullopt, 1, 2, 2, 2}));
}
