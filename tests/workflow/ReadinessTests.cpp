// The checks before the printer is told to restart: the version test, a printer held by another program, a
// printer that cannot be opened, a printer that is not idle, and the last confirmation.
#include <gtest/gtest.h>

#include "WorkflowHarness.h"
#include "platform/UserDefaults.h"

using ovn::sim::DeviceCommand;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

size_t countOf(const ovn::sim::OvnPrinterEmulator& emulator, DeviceCommand command) {
    size_t n = 0;
    for (const auto& f : emulator.frames()) n += f.command == command;
    return n;
}

size_t updateCommands(const ovn::sim::OvnPrinterEmulator& emulator) {
    return countOf(emulator, DeviceCommand::FlashRewrite) + countOf(emulator, DeviceCommand::FlashProgram) +
           countOf(emulator, DeviceCommand::TableClear);
}

class Readiness : public WorkflowTest {};

}  // namespace

TEST_F(Readiness, PrinterNotIdleShowsItsStatusAndProceedChecksAgain) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.rawStatus = "01100";
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    const std::string statusText = ZVUSBPrinterOVN::stringForDSStatusString(std::string("01100"));
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    // First "Cancel"; then, asked again, the paper is put in and "Proceed" is pressed.
    presenter->script("Printer Not Ready", {Answer::second(), Answer::first().then([&] {
                                                tp.emulator->setRawStatus("00000");
                                            })});
    presenter->script(kConfirmTitle, {Answer::first(), Answer::first()});

    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert("Printer Not Ready"));
    settle(printer);
    auto notReady = presenter->lastTitled("Printer Not Ready");
    EXPECT_EQ(notReady->message, "Please correct the following issue: " + statusText);
    EXPECT_EQ(notReady->buttons, (std::vector<std::string>{"Proceed", "Cancel"}));
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(*tp.emulator->deviceId()))
        << "\"Cancel\" gives the printer back to other programs";
    EXPECT_EQ(presenter->countTitled(kConfirmTitle), 0u);

    // Again, and this time the printer becomes ready.
    onMain([&] { printer->proceedWithUpdateWhenReady(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    settle(printer);
    EXPECT_EQ(presenter->countTitled("Printer Not Ready"), 2u);
    EXPECT_EQ(presenter->lastTitled(kConfirmTitle)->response, ovn::kAlertFirstButtonReturn);
    EXPECT_EQ(updateCommands(*tp.emulator), 0u) << "\"Cancel\" in the confirmation sends nothing";
    EXPECT_FALSE(printer->deviceInfoDict()->contains(QELMOR_ZVPrinterDeviceFirmwareStatus));
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(*tp.emulator->deviceId()));
}

TEST_F(Readiness, PrinterHeldByAnotherProgramShowsBusyUntilItIsFree) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL45;
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    tp.emulator->setHeldByOtherApplication(true);
    ASSERT_TRUE(pumpUntil([&] { return tp.emulator->isHeldByOtherApplication(); }));

    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script("Printer Busy", {Answer::first(), Answer::first().then([&] {
                                           tp.emulator->setHeldByOtherApplication(false);
                                       })});
    presenter->script(kConfirmTitle, {Answer::first()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    settle(printer);

    EXPECT_EQ(presenter->titles(),
              (std::vector<std::string>{kWarningTitle, "Printer Busy", "Printer Busy", kConfirmTitle}));
    auto busy = presenter->lastTitled("Printer Busy");
    EXPECT_EQ(busy->message,
              "Another application is using the printer. Please proceed when the printer becomes available.");
    EXPECT_EQ(busy->buttons, (std::vector<std::string>{"Proceed", "Cancel"}));
    EXPECT_EQ(updateCommands(*tp.emulator), 0u);
}

TEST_F(Readiness, InstalledFirmwareNewerStopsUnlessOlderVersionsAreAllowed) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL35;
    setup.firmware = "PL35 01.7";
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);

    presenter->script(kWarningTitle, {Answer::agreeAndContinue(), Answer::agreeAndContinue()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert("Firmware update not needed"));
    settle(printer);
    auto notNeeded = presenter->lastTitled("Firmware update not needed");
    EXPECT_EQ(notNeeded->message, "This printer has firmware version 1.70 installed.");
    EXPECT_EQ(notNeeded->buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(presenter->countTitled(kConfirmTitle), 0u);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashRewrite), 0u);

    // Allowed by the user default: the older firmware is installed.
    ovn::UserDefaults::standard().setObject("installOlderFirmwareVersion", true);
    presenter->script(kConfirmTitle, {Answer::second()});
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(presenter->lastTitled(kSuccessTitle)->message, "Firmware version updated from PL35 01.7 to PL35 01.52");
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL35 01.52");
}

TEST_F(Readiness, EqualVersionsMayBeInstalledAgain) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL15;
    setup.firmware = "PL15 01.61";
    TestPrinter tp(setup);
    auto printer = waitForPrinter(registry, tp);
    ASSERT_TRUE(printer);
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    settle(printer);
    EXPECT_EQ(presenter->countTitled("Firmware update not needed"), 0u);
    EXPECT_EQ(presenter->lastTitled(kConfirmTitle)->buttons,
              (std::vector<std::string>{"Cancel", "Update Firmware to PL15 01.61"}));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashRewrite), 0u) << "Return (the first button) cancels";
}

TEST_F(Readiness, PrinterAlreadyWaitingForFirmwareGetsItWithoutConfirmation) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL25D;
    setup.rawStatus = "FU00001";
    TestPrinter tp(setup);
    // Found in update mode without a known update: the offer is ignored first ("Ignore"), then the user runs
    // the update command, whose readiness check goes straight to the upload.
    presenter->script(kWarningTitle, {Answer::first(), Answer::agreeAndContinue()});
    ASSERT_TRUE(waitForAlert("Please power-cycle this printer"));
    auto printer = registry.printerAt(tp.location);
    ASSERT_TRUE(printer);
    settle(printer);
    EXPECT_EQ(printer->printerStatus(), "Firmware Update Mode");
    EXPECT_EQ(presenter->shown()[0].message,
              "A printer was unexpectedly found in firmware update mode. Would you like to update the firmware? ");
    EXPECT_EQ(presenter->shown()[0].buttons, (std::vector<std::string>{"Ignore", "Update Firmware"}));

    onMain([&] { printer->updateFirmware(); });
    printer.reset();
    ASSERT_TRUE(waitForAlert(kSuccessTitle, 1, 30000)) << ::testing::PrintToString(presenter->titles());
    EXPECT_EQ(presenter->countTitled(kConfirmTitle), 0u);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashRewrite), 0u);
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashProgram), 1u);
    EXPECT_EQ(tp.emulator->firmwareVersion(), "PL25DUP 1.40PRN");
}

TEST_F(Readiness, UnknownFirmwareVersionMakesThePrinterArriveAgainInsteadOfRestarting) {
    TestRegistry registry;
    PrinterSetup setup;
    setup.model = PrinterModel::PL15;
    setup.faults.push_back({ovn::sim::Fault::NoReply, DeviceCommand::FirmwareVersion, ovn::sim::kFaultForever});
    TestPrinter tp(setup);
    std::shared_ptr<ZVUSBPrinterOVN> printer;
    ASSERT_TRUE(pumpUntil([&] {
        printer = registry.printerAt(tp.location);
        return printer && printer->printerStatus();
    }));
    settle(printer);
    ASSERT_FALSE(printer->firmwareVersion());

    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script(kConfirmTitle, {Answer::second()});
    onMain([&] { printer->updateFirmware(); });
    auto first = printer;
    ASSERT_TRUE(pumpUntil([&] {
        printer = registry.printerAt(tp.location);
        return registry.arrivals(tp.location).size() == 2 && printer && printer != first && printer->printerStatus();
    }));
    first.reset();
    settle(printer);
    EXPECT_EQ(presenter->titles(), (std::vector<std::string>{kWarningTitle, kConfirmTitle}));
    EXPECT_EQ(countOf(*tp.emulator, DeviceCommand::FlashRewrite), 0u);
    EXPECT_FALSE(registry.arrivals(tp.location)[1].phase) << "no phase is written";
    EXPECT_FALSE(printer->inFirmwareUpdate());
}
