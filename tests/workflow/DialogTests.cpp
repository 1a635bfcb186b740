// What the user sees and answers: the alert defaults, the update warning with its "I Agree" box, the
// model-specific warning texts, the offered version reaching observers, and the two notices of the USB iSerial
// setting (with the print-queue clean-up they lead to).
#include <gtest/gtest.h>

#include "WorkflowHarness.h"
#include "platform/Bundle.h"

using ovn::sim::DeviceCommand;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

// The vendor printer with the print-queue clean-up counted instead of run (it would touch this machine's
// printing system).
class CountingPrinter : public ZVUSBPrinterOVN {
public:
    void deleteExistingPrinterQueues() override { ++cleanUps; }
    std::atomic<int> cleanUps{0};
};

class Dialogs : public WorkflowTest {
protected:
    std::shared_ptr<CountingPrinter> startCounting(PrinterModel model) {
        return std::dynamic_pointer_cast<CountingPrinter>(start(
            {.model = model}, [](const ovn::usb::IOUSBInterfaceInterfacePtr& interface,
                                 const ovn::usb::IOServicePtr& service) -> std::shared_ptr<ZVUSBPrinterOVN> {
                return ZVUSBPrinter::create<CountingPrinter>(interface, service);
            }));
    }
};

constexpr const char* kPowerCycleNotice = "Please power-cycle the selected printer now to complete the process!";

}  // namespace

TEST_F(Dialogs, AlertDefaultsAndAnAlertWithNothingToSay) {
    auto printer = start({.model = PrinterModel::PL45});
    ASSERT_TRUE(printer);
    std::vector<long> responses;
    onMain([&] {
        printer->showAlertWithTitle(std::nullopt, std::nullopt, std::nullopt, [&](long r) { responses.push_back(r); });
        printer->showCustomAlertWithTitle(std::string(), std::string(), std::vector<std::string>{"A", "B"},
                                          std::nullopt, ovn::AlertStyle::Critical, nullptr,
                                          [&](long r) { responses.push_back(r + 1); });
        printer->showCustomAlertWithTitle(std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                          ovn::AlertStyle::Warning, nullptr, [&](long r) { responses.push_back(r + 2); });
    });
    pumpUntil([&] { return responses.size() >= 1; });
    pumpFor(50);
    ASSERT_EQ(presenter->shown().size(), 1u) << "an alert without title and message is not shown";
    const ShownAlert a = presenter->shown()[0];
    EXPECT_EQ(a.title, "Alert");
    EXPECT_EQ(a.message, "");
    EXPECT_EQ(a.buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(a.style, ovn::AlertStyle::Warning);
    EXPECT_EQ(a.modality, ovn::AlertModality::Sheet);
    EXPECT_EQ(a.iconPath, printer->imagePath().value_or("")) << "the printer's picture";
    EXPECT_FALSE(a.iconPath.empty());
    EXPECT_EQ(responses, std::vector<long>{ovn::kAlertFirstButtonReturn});
}

TEST_F(Dialogs, ContinueFollowsTheAgreementBoxAndQuitEndsTheApplication) {
    auto printer = start({.model = PrinterModel::PL35});
    ASSERT_TRUE(printer);
    std::vector<bool> continueEnabled;
    std::vector<ovn::Value> announced;
    auto token = printer->observe("customerDidAgree", [&](const std::string& key, const ovn::KeyValueChange&) {
        announced.push_back(printer->valueForKey(key));
    });
    presenter->inspect = [&](ovn::AlertRequest& r) {
        if (!r.checkbox) return;
        ASSERT_TRUE(r.enableSecondButtonObject);
        EXPECT_EQ(r.enableSecondButtonKeyPath, "customerDidAgree");
        auto enabled = [&] {
            return ovn::valueAsBool(r.enableSecondButtonObject->valueForKey(r.enableSecondButtonKeyPath));
        };
        for (bool tick : {true, false}) {
            continueEnabled.push_back(enabled().value_or(false));
            r.checkbox->toggled(tick);
        }
        continueEnabled.push_back(enabled().value_or(false));
    };
    // Return answers the default button, "Quit".
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kWarningTitle));
    pumpUntil([&] { return terminations.load() == 1; }, 2000);
    EXPECT_EQ(continueEnabled, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(announced, (std::vector<ovn::Value>{true, false}));
    EXPECT_EQ(terminations.load(), 1);

    // A second warning starts unchecked again: "Continue" cannot be pressed until the box is checked.
    presenter->inspect = nullptr;
    onMain([&] { printer->setToggleAgreed(true); });
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script(kConfirmTitle, {Answer::first()});
    onMain([&] { printer->updateFirmware(); });
    ASSERT_TRUE(waitForAlert(kConfirmTitle));
    EXPECT_FALSE(presenter->shown()[1].secondButtonEnabledAtFirst);
    EXPECT_EQ(terminations.load(), 1);
    settle(printer);
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::FlashRewrite), 0u);
}

// The texts of 2.03 and of other models are checked with every model's update.
TEST_F(Dialogs, MV1WarningFromFirmware204LeavesOutTheMediaSentence) {
    auto printer = start({.model = PrinterModel::PLMV1, .firmware = "PL-MV1 02.04"});
    ASSERT_TRUE(printer);
    std::string text;
    onMain([&] { text = printer->MV1UpdateWarningText(); });
    EXPECT_EQ(text, "This update tool is for the OVN MV1 printer. It will upgrade the printer to firmware version " +
                        std::string("PL-MV1 02.06") +
                        ".\n\nOnce updated, the MV1 printer will REQUIRE the use of MV1Q media packs. This process "
                        "cannot be undone.");
}

TEST_F(Dialogs, OfferedVersionReachesObserversAfterTheFirstAsk) {
    auto printer = start({.model = PrinterModel::PL15});
    ASSERT_TRUE(printer);
    std::vector<ovn::Value> seen;
    auto token = printer->observe("newFirmwareVersion", [&](const std::string& key, const ovn::KeyValueChange&) {
        seen.push_back(printer->valueForKey(key));
    });
    std::optional<std::string> first;
    onMain([&] { first = printer->newFirmwareVersion(); });
    EXPECT_FALSE(first) << "recorded later, on the main thread";
    ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }, 2000));
    EXPECT_EQ(seen.front(), ovn::Value(std::string("PL15 01.61")));
    EXPECT_EQ(printer->newFirmwareVersion(), "PL15 01.61");
    EXPECT_DOUBLE_EQ(printer->availableFirmwareVersion(), 1.61);
}

TEST_F(Dialogs, SwitchingTheSerialSettingAsksForAPowerCycleAndCleansUpQueues) {
    auto printer = startCounting(PrinterModel::PL45);
    ASSERT_TRUE(printer);
    ASSERT_FALSE(printer->usbISerial());
    tp->emulator->clearFrameLog();
    onMain([&] { printer->setUsbISerial(true); });
    ASSERT_TRUE(waitForAlert(kPowerCycleNotice));
    settle(printer);
    auto shown = presenter->lastTitled(kPowerCycleNotice);
    EXPECT_EQ(shown->modality, ovn::AlertModality::Application);
    EXPECT_EQ(shown->message, "");
    EXPECT_EQ(printer->cleanUps.load(), 1);
    auto frames = tp->emulator->frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].command, DeviceCommand::ISerialWrite);
    EXPECT_EQ(frames[0].payload, (Bytes{'0', '1', '\r', 0}));
    EXPECT_EQ(frames[1].command, DeviceCommand::ISerialRead);
    EXPECT_TRUE(printer->usbISerial());

    // After the power cycle the descriptor carries the serial number: the setting and the descriptor agree.
    tp->emulator->powerCycle();
    auto again = std::dynamic_pointer_cast<CountingPrinter>(waitForPrinter(*registry, *tp));
    ASSERT_TRUE(again);
    ASSERT_TRUE(again->serialNumberUSB());
    ASSERT_TRUE(pumpUntil([&] { return again->usbISerial(); }));
    onMain([&] { again->showPowerCycleAlert(); });
    pumpFor(50);
    EXPECT_EQ(presenter->countTitled(kPowerCycleNotice), 1u);
}

TEST_F(Dialogs, ModelWithoutTheSerialSettingIsNeitherWrittenNorPowerCycledNorCleanedUp) {
    auto printer = startCounting(PrinterModel::PL15);
    ASSERT_TRUE(printer);
    tp->emulator->clearFrameLog();
    onMain([&] {
        printer->setUsbISerial(true);
        printer->showPowerCycleAlert();
    });
    settle(printer);
    pumpFor(50);
    EXPECT_EQ(countFrames(*tp->emulator, DeviceCommand::ISerialWrite), 0u);
    EXPECT_TRUE(presenter->shown().empty());
    EXPECT_EQ(printer->cleanUps.load(), 0);
    EXPECT_EQ(printer->usbISerialString(), "Unavailable");
}

TEST_F(Dialogs, BusyPrinterGetsTheBusyNoticeAndNothingIsWritten) {
    auto printer = startCounting(PrinterModel::PL35);
    ASSERT_TRUE(printer);
    tp->emulator->setHeldByOtherApplication(true);
    ASSERT_TRUE(pumpUntil([&] { return tp->emulator->isHeldByOtherApplication(); }));
    tp->emulator->clearFrameLog();
    onMain([&] { printer->setUsbISerial(true); });
    const char* busy = "The Selected Printer is Unavailable. (Busy)";
    ASSERT_TRUE(waitForAlert(busy));
    settle(printer);
    EXPECT_EQ(presenter->lastTitled(busy)->modality, ovn::AlertModality::Application);
    EXPECT_TRUE(tp->emulator->frames().empty());
    EXPECT_EQ(printer->cleanUps.load(), 0);
    EXPECT_FALSE(printer->usbISerial());
}
