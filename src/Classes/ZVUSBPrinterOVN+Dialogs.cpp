// The alerts the printer presents itself: the workflow alerts (sheets on the main window), the warning that must
// be accepted before a firmware update, and the two application-modal notices of the USB iSerial setting.
//
// Alerts are built where they are asked for and always presented from the main thread, asynchronously, so the
// caller never waits for the user. Completions run on the main thread with the response number (1000 for the
// first button, 1001 for the second).
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/Localization.h"
#include "platform/SystemLog.h"

using ovn::SysLog;

namespace {

constexpr char kAgreeKey[] = "customerDidAgree";

void present(const ovn::AlertRequest& request, const ZVUSBPrinterOVN::AlertCompletion& completion) {
    ovn::presentAlert(request, [completion](long response) {
        if (completion) completion(response);
    });
}

// A notice run application-modally: a text, the printer's picture and the single "OK" of the alert panel.
void presentNotice(const std::string& text, const std::string& iconPath, const std::string& subject) {
    ovn::AlertRequest request;
    request.title = text;
    request.modality = ovn::AlertModality::Application;
    request.iconPath = iconPath;
    request.subject = subject;
    present(request, nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Alerts

void ZVUSBPrinterOVN::showAlertWithTitle(const Text& title, const Text& message, const ButtonTitles& buttonTitles,
                                         const AlertCompletion& completion) {
    showCustomAlertWithTitle(title.value_or("Alert"), message.value_or(""),
                             buttonTitles.value_or(std::vector<std::string>{"OK"}), std::nullopt,
                             ovn::AlertStyle::Warning, nullptr, completion);
}

void ZVUSBPrinterOVN::showCustomAlertWithTitle(const Text& title, const Text& message, const ButtonTitles& buttonTitles,
                                               const std::optional<ovn::AlertRequest::Checkbox>& accessoryView,
                                               ovn::AlertStyle alertStyle, const AlertLayout& customLayout,
                                               const AlertCompletion& completion) {
    if ((!title || title->empty()) && (!message || message->empty())) return;

    ovn::AlertRequest request;
    request.title = title.value_or("Alert");
    request.message = message.value_or("");
    request.buttons = buttonTitles.value_or(std::vector<std::string>{});
    if (request.buttons.empty()) request.buttons.push_back("OK");
    request.style = alertStyle;
    request.modality = ovn::AlertModality::Sheet;
    request.iconPath = imagePath().value_or("");
    request.checkbox = accessoryView;
    request.subject = printerNameForUser();

    ovn::DispatchQueue::main()->async([request, customLayout, completion]() mutable {
        if (customLayout) customLayout(request);
        present(request, completion);
    });
}

// ---------------------------------------------------------------------------------------------------------
// The update warning

void ZVUSBPrinterOVN::ShowMV1Warning() {
    std::weak_ptr<ZVUSBPrinterOVN> weak = ovnSelf();
    ovn::AlertRequest::Checkbox agree;
    agree.title = "I Agree";
    agree.initiallyChecked = false;
    agree.toggled = [weak](bool checked) {
        if (auto self = weak.lock()) self->setToggleAgreed(checked);
    };

    // A fresh warning starts unchecked; nobody observes the reset.
    customerDidAgree_.store(false);

    const std::string text = idProductValue() == ovn::protocol::kProductPLMV1 ? MV1UpdateWarningText() : genericUpdateWarningText();
    auto self = ovnSelf();
    showCustomAlertWithTitle(
        std::string("Attention:"), text, std::vector<std::string>{"Quit", "Continue"}, agree, ovn::AlertStyle::Critical,
        [self](ovn::AlertRequest& alert) {
            // "Continue" follows the checkbox: enabled exactly while the customer agrees.
            if (alert.buttons.size() > 1) {
                alert.enableSecondButtonObject = self;
                alert.enableSecondButtonKeyPath = kAgreeKey;
            }
        },
        [self](long response) {
            if (response == ovn::kAlertSecondButtonReturn) {
                if (self->customerDidAgree()) self->proceedWithUpdateWhenReady();
            } else if (response == ovn::kAlertFirstButtonReturn) {
                ovn::requestApplicationTermination();
            }
        });
}

std::string ZVUSBPrinterOVN::MV1UpdateWarningText() {
    const bool useUpMedia = installedFirmwareVersion() < 2.04;
    // The firmware offered, not the version of this program.
    Text offered = offeredFirmwareVersion();
    return "This update tool is for the OVN MV1 printer. It will upgrade the printer to " +
           (offered ? "firmware version " + *offered : std::string("the firmware version delivered with it")) +
           ".\n\nOnce updated, the MV1 printer will REQUIRE the use of MV1Q media packs." +
           (useUpMedia ? " Please use up all MV1 media before using this update tool." : "") +
           " This process cannot be undone.";
}

std::string ZVUSBPrinterOVN::genericUpdateWarningText() {
    // The text is made right after the archive check, whose recording of the list may not have reached the
    // main thread yet: the offered version is taken from the list the check used.
    Text offered = offeredFirmwareVersion();
    return "This update tool will upgrade the printer firmware to " +
           (offered ? "version " + *offered : std::string("the version delivered with it")) +
           ". This process cannot be undone";
}

void ZVUSBPrinterOVN::setToggleAgreed(bool checked) {
    willChangeValueForKey(kAgreeKey);
    customerDidAgree_.store(checked);
    didChangeValueForKey(kAgreeKey);
}

ovn::Value ZVUSBPrinterOVN::workflowValueForKey(const std::string& key) const {
    if (key == kAgreeKey) return customerDidAgree();
    return {};
}

// ---------------------------------------------------------------------------------------------------------
// Notices of the USB iSerial setting

void ZVUSBPrinterOVN::showPowerCycleAlert() {
    // Decided on the main thread, behind the read-back of the setting that was queued there before.
    ovn::DispatchQueue::main()->async([self = ovnSelf()] {
        if (!self->hasISerialSupport()) {
            // Nothing was written to such a printer: there is nothing for a power cycle to complete.
            SysLog("no power cycle needed for %s: it has no USB serial-number setting", self->descriptionUTF8().c_str());
            return;
        }
        const bool setting = self->usbISerial();
        const Text serial = self->serialNumberUSB();
        const bool reportsSerial = serial && !serial->empty();
        if (setting == reportsSerial) return;
        presentNotice(ovn::Localized("Please power-cycle the selected printer now to complete the process!"),
                      self->imagePath().value_or(""), self->printerNameForUser());
    });
}

void ZVUSBPrinterOVN::showPrinterBusyAlert() {
    std::string text = ovn::Localized("The Selected Printer is Unavailable. (Busy)");
    std::string icon = imagePath().value_or("");
    std::string subject = printerNameForUser();
    ovn::DispatchQueue::main()->async([text, icon, subject] { presentNotice(text, icon, subject); });
}
