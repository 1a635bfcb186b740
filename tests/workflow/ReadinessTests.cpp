// The checks before the printer is told to restart: the version test, a printer held by another program, a
// printer that cannot be opened, a printer that is not idle, and the last confirmation.
#include <gtest/gtest.h>

#include "WorkflowHarness.h"
#include "platform/UserDefaults.h"

using ovn::sim::DeviceCommand;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

class Readiness : public WorkflowTest {
protected:
    size_t updateCommands() const {
        return countFrames(*tp->emulator, DeviceCommand::FlashRewrite) +
               countFrames(*tp->emulator, DeviceCommand::FlashProgram) +
               countFrames(*tp->emulator, DeviceCommand::TableClear);
    }
    bool openByHost() const { return TestBus::shared().bus->isOpenByHost(*tp->emulator->deviceId()); }
};

using Titles = std::vector<std::string>;

}  // namespace

TEST_F(Readiness, PrinterNotIdleShowsItsStatusAndProceedChecksAgain) {
    auto printer = start({.model = PrinterModel::PL35, .rawStatus = "01100"});
    ASSERT_TRUE(printer);
    const std::string statusText = ZVUSBPrinterOVN::stringForDSStatusString(std::string("01100"));
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    // First "Cancel"; then, asked again, the paper is put in and "Proceed" is pressed.
    presenter->script("Printer Not Ready",
                      {Answer::second(), Answer::first().then([&] { tp->emulator->setRawStatus("00000"); })});
    presenter->script(kConfirmTitle, {Answer::first(), Answer::first()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert("Printer Not Ready"));
    settle(printer);
    expectAlert("Printer Not Ready", "Please correct the following issue: " + statusText, {"Proceed", "Cancel"});
    EXPECT_FALSE(openByHost()) << "\"Cancel\" gives the printer back to other programs";
    EXPECT_EQ(presenter->countTitled(kConfirmTitle), 0u);

    // Again, and this time the printer becomes ready.
    onMain([&] { printer->proceedWithUpdateWhenReady(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    settle(printer);
    EXPECT_EQ(presenter->countTitled("Printer Not Ready"), 2u);
    EXPECT_EQ(presenter->lastTitled(kConfirmTitle)->response, ovn::kAlertFirstButtonReturn);
    EXPECT_EQ(updateCommands(), 0u) << "\"Cancel\" in the confirmation sends nothing";
    EXPECT_FALSE(printer->deviceInfoDict()->contains(QELMOR_ZVPrinterDeviceFirmwareStatus));
    EXPECT_FALSE(openByHost());
}

TEST_F(Readiness, PrinterHeldByAnotherProgramShowsBusyUntilItIsFree) {
    auto printer = start({.model = PrinterModel::PL45});
    ASSERT_TRUE(printer);
    tp->emulator->setHeldByOtherApplication(true);
    ASSERT_TRUE(pumpUntil([&] { return tp->emulator->isHeldByOtherApplication(); }));
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script("Printer Busy", {Answer::first(), Answer::first().then([&] {
                                           tp->emulator->setHeldByOtherApplication(false);
                                       })});
    presenter->script(kConfirmTitle, {Answer::first()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    settle(printer);
    EXPECT_EQ(presenter->titles(), (Titles{kWarningTitle, "Printer Busy", "Printer Busy", kConfirmTitle}));
    expectAlert("Printer Busy",
                "Another application is using the printer. Please proceed when the printer becomes available.",
                {"Proceed", "Cancel"});
    EXPECT_EQ(updateCommands(), 0u);
}

TEST_F(Readiness, InstalledFirmwareNewerStopsUnlessOlderVersionsAreAllowed) {
    auto printer = start({.model = PrinterModel::PL35, .firmware = "PL35 01.7"});
    ASSERT_TRUE(printer);
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert("Firmware update not needed"));
    settle(printer);
    expectAlert("Firmware update not needed", "This printer has firmware version 1.70 installed.", {"OK"});
    EXPECT_EQ(presenter->countTitled(kConfirmTitle), 0u);
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashRewrite), 0u);

    // Allowed by the user default: the older firmware is installed.
    ovn::UserDefaults::standard().setObject("installOlderFirmwareVersion", true);
    runUpdate(printer);
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_EQ(presenter->lastTitled(kSuccessTitle)->message, "Firmware version updated from PL35 01.7 to PL35 01.52");
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL35 01.52");
}

TEST_F(Readiness, EqualVersionsMayBeInstalledAgain) {
    auto printer = start({.model = PrinterModel::PL15, .firmware = "PL15 01.61"});
    ASSERT_TRUE(printer);
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    settle(printer);
    EXPECT_EQ(presenter->countTitled("Firmware update not needed"), 0u);
    EXPECT_EQ(presenter->lastTitled(kConfirmTitle)->buttons, (Titles{"Cancel", "Update Firmware to PL15 01.61"}));
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashRewrite), 0u) << "Return (the first button) cancels";
}

TEST_F(Readiness, PrinterAlreadyWaitingForFirmwareGetsItWithoutConfirmation) {
    registry = std::make_unique<TestRegistry>();
    // Found in update mode without a known update: the offer is ignored first ("Ignore"), then the user runs
    // the update command, whose readiness check goes straight to the upload.
    presenter->script(kWarningTitle, {Answer::first(), Answer::agreeAndContinue()});
    tp = std::make_unique<TestPrinter>(PrinterSetup{.model = PrinterModel::PL25D, .rawStatus = "FU00001"});
    ASSERT_TRUE(waitForAlert("Please power-cycle this printer"));
    auto printer = registry->printerAt(tp->location);
    ASSERT_TRUE(printer);
    settle(printer);
    EXPECT_EQ(printer->printerStatus(), "Firmware Update Mode");
    expectAlert(kWarningTitle,
                "A printer was unexpectedly found in firmware update mode. Would you like to update the firmware? ",
                {"Ignore", "Update Firmware"});

    runUpdate(printer, false);
    ASSERT_TRUE(alertShown(kSuccessTitle));
    EXPECT_EQ(presenter->countTitled(kConfirmTitle), 0u);
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashRewrite), 0u);
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashProgram), 1u);
    EXPECT_EQ(tp->emulator->firmwareVersion(), "PL25DUP 1.40PRN");
}

TEST_F(Readiness, UnknownFirmwareVersionMakesThePrinterArriveAgainInsteadOfRestarting) {
    registry = std::make_unique<TestRegistry>();
    PrinterSetup setup{.model = PrinterModel::PL15};
    setup.faults.push_back({ovn::sim::Fault::NoReply, DeviceCommand::FirmwareVersion, ovn::sim::kFaultForever});
    tp = std::make_unique<TestPrinter>(setup);
    auto printer = waitForArrival(*registry, *tp, 1);
    ASSERT_TRUE(printer);
    ASSERT_TRUE(pumpUntil([&] { return printer->printerStatus().has_value(); }));
    settle(printer);
    ASSERT_FALSE(printer->firmwareVersion());

    auto first = printer;
    runUpdate(printer);
    ASSERT_TRUE(pumpUntil([&] {
        printer = registry->printerAt(tp->location);
        return registry->arrivals(tp->location).size() == 2 && printer && printer != first && printer->printerStatus();
    }));
    first.reset();
    settle(printer);
    EXPECT_EQ(presenter->titles(), (Titles{kWarningTitle, kConfirmTitle}));
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashRewrite), 0u);
    EXPECT_FALSE(registry->arrivals(tp->location)[1].phase) << "no phase is written";
    EXPECT_FALSE(printer->inFirmwareUpdate());
}
