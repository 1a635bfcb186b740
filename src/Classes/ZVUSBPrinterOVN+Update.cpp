// The firmware update workflow. It spans two restarts of the printer: the restart step sends FLASH_REWRITE and
// the printer comes back waiting for its firmware; the upload step sends the image with FLASH_PROGRAM and the
// printer comes back running it; the finish step rewrites the colour tables and reports the result. The phase
// reached is kept under "deviceFirmwareStatus" in the device-info dictionary, which the device-info registry
// hands to the object created when the printer arrives again (see probeAtInit).
#include <chrono>
#include <cstdio>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/UpdateJournal.h"
#include "Classes/UpdateSteps.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

using ovn::DispatchQueue;
using ovn::SysLog;
namespace proto = ovn::protocol;

namespace {

constexpr char kFileCorruptionTitle[] = "-- File corruption --\n\nThere is a problem with the firmware files.";
constexpr char kFileCorruptionMessage[] = "Contact customer support.";
constexpr char kNotNeededTitle[] = "Firmware update not needed";
constexpr char kBusyTitle[] = "Printer Busy";
constexpr char kBusyMessage[] =
    "Another application is using the printer. Please proceed when the printer becomes available.";
constexpr char kErrorTitle[] = "Printer Error";
constexpr char kErrorMessage[] =
    "The printer is not responding properly. Please power-cycle the printer and try again.";
constexpr char kNotReadyTitle[] = "Printer Not Ready";
constexpr char kNotReadyMessage[] = "Please correct the following issue: ";
constexpr char kConfirmTitle[] = "-- Warning --\n\nAre you certain you want to update the firmware?";
constexpr char kConfirmMessage[] =
    "The printer may be permanently damaged if it is unplugged or loses power during the update process.";
constexpr char kBadFileTitle[] = "There was a problem with the firmware file!";
constexpr char kBadFileMessage[] = "This application may be damaged. Please download a new copy.";
constexpr char kSuccessTitle[] = "Firmware update was successful!";
constexpr char kProblemTitle[] = "There was a problem with the firmware update!";

constexpr char kInstallOlderFirmwareVersion[] = "installOlderFirmwareVersion";
constexpr auto kPollInterval = std::chrono::milliseconds(500);

// A firmware version as a person reads it.
std::string shown(const ZVUSBPrinter::Text& text) { return text ? *text : std::string("an unknown version"); }

std::vector<std::string> buttons(std::initializer_list<const char*> titles) {
    return std::vector<std::string>(titles.begin(), titles.end());
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Start, readiness check, last confirmation (main thread)

void ZVUSBPrinterOVN::updateFirmware(const void*) {
    if (pendingJournalResume_) {
        // An update an earlier run left unfinished: it is finished, not started again.
        const std::string identity = *pendingJournalResume_;
        if (auto journal = ovn::update::UpdateJournal::shared()) {
            if (auto record = journal->record(identity)) {
                offerJournalResume(identity, record->phase);
                return;
            }
        }
        pendingJournalResume_.reset();
    }
    if (updateRefusedByJournal()) return;
    // Every file of the set must be there and intact before anything is sent: a colour table found missing only
    // after the firmware was programmed would leave the printer without it.
    auto self = ovnSelf();
    checkFilesOffMain([self](bool intact) {
        if (!intact) {
            SysLog("the firmware files for %s failed their check", self->descriptionUTF8().c_str());
            self->showAlertWithTitle(std::string(kFileCorruptionTitle), std::string(kFileCorruptionMessage),
                                     buttons({"Quit"}), [](long) { ovn::requestApplicationTermination(); });
            return;
        }
        self->ShowMV1Warning();
    });
}

void ZVUSBPrinterOVN::checkFilesOffMain(std::function<void(bool intact)> done) {
    // Hashing the files takes long enough to stall the user interface: it runs on the printer's queue.
    auto self = ovnSelf();
    performInlineOnCommandQueue([self, done] {
        bool intact = self->verifyFirmwareArchive() && self->allCatalogueFilesPresent();
        if (intact) intact = self->firmwareBlob().has_value();
        DispatchQueue::main()->async([done, intact] { done(intact); });
    });
}

void ZVUSBPrinterOVN::proceedWithUpdateWhenReady() {
    if (printerStatus() == stringForDSStatusString(std::string(proto::kRawStatusFirmwareUpdateMode))) {
        // Already waiting for an image.
        uploadFirmware();
        return;
    }

    const double installed = installedFirmwareVersion();
    const double offered = availableFirmwareVersion();
    if (ovn::OVNFirmwareCatalogue::installedIsNewerThanOffered(installed, offered) &&
        !ovn::UserDefaults::standard().boolForKey(kInstallOlderFirmwareVersion)) {
        const std::string message = "This printer has firmware version " +
                                    ovn::OVNFirmwareCatalogue::versionForMessage(installed, firmwareVersion()) +
                                    " installed.";
        showAlertWithTitle(std::string(kNotNeededTitle), message, buttons({"OK"}), nullptr);
        return;
    }

    auto self = ovnSelf();
    // "Proceed" runs the whole check again; "Cancel" ends the workflow and lets other programs have the
    // printer again when this check had opened it.
    auto retry = [self](bool opened) {
        return [self, opened](long response) {
            if (response == ovn::kAlertFirstButtonReturn) {
                self->proceedWithUpdateWhenReady();
            } else if (opened) {
                self->closeAfterWorkflowEnds();
            }
        };
    };
    openInterface([self, retry](IOReturn result) {
        if (result == kIOReturnExclusiveAccess) {
            self->showAlertWithTitle(std::string(kBusyTitle), std::string(kBusyMessage), buttons({"Proceed", "Cancel"}),
                                     retry(false));
            return;
        }
        if (result != kIOReturnSuccess) {
            self->showAlertWithTitle(std::string(kErrorTitle), std::string(kErrorMessage),
                                     buttons({"Proceed", "Cancel"}), retry(false));
            return;
        }
        self->queryPrinterStatus(
            [self, retry](const Text& raw) {
                if (raw == std::string(proto::kRawStatusIdle)) {
                    self->updateFirmwareReady();
                    return;
                }
                self->showAlertWithTitle(std::string(kNotReadyTitle),
                                         std::string(kNotReadyMessage) + stringForDSStatusString(raw),
                                         buttons({"Proceed", "Cancel"}), retry(true));
            },
            [self] {
                SysLog("no status from %s: the update does not go on", self->descriptionUTF8().c_str());
                self->closeAfterWorkflowEnds();
                self->showNotAnswering("its status was asked for before the update");
            });
    });
}

void ZVUSBPrinterOVN::updateFirmwareReady() {
    auto self = ovnSelf();
    showAlertWithTitle(std::string(kConfirmTitle), std::string(kConfirmMessage),
                       std::vector<std::string>{"Cancel", "Update Firmware to " + shown(offeredFirmwareVersion())},
                       [self](long response) {
                           if (response == ovn::kAlertSecondButtonReturn) {
                               self->updateFirmwareAndColorTables();
                           } else {
                               self->closeAfterWorkflowEnds();
                           }
                       });
}

void ZVUSBPrinterOVN::closeAfterWorkflowEnds() { closeInterface(nullptr); }

// ---------------------------------------------------------------------------------------------------------
// Restart step (main thread; the printer traffic on the command queue)

void ZVUSBPrinterOVN::updateFirmwareAndColorTables() {
    auto self = ovnSelf();
    if (!firmwareVersion()) {
        // Without a firmware version the printer was never read properly: let it arrive and be probed again.
        SysLog("no firmware version known for %s: asking it to re-enumerate", descriptionUTF8().c_str());
        performInlineOnCommandQueue([self] { self->reEnumerateUSBDevice(); });
        return;
    }

    if (updateRefusedByJournal()) {
        closeAfterWorkflowEnds();
        return;
    }
    checkFilesOffMain([self](bool intact) {
        if (!intact) {
            self->showAlertWithTitle(std::string(kFileCorruptionTitle), std::string(kFileCorruptionMessage),
                                     buttons({"OK"}), nullptr);
            self->closeAfterWorkflowEnds();
            return;
        }
        self->setInFirmwareUpdate(true);
        self->openInterface([self](IOReturn result) {
            if (result != kIOReturnSuccess) {
                // Nothing was sent and no phase written: no update is under way after all.
                SysLog("could not open %s to restart it for the update", self->descriptionUTF8().c_str());
                DispatchQueue::main()->async([self] { self->setInFirmwareUpdate(false); });
                self->showNotAnswering("it could not be opened to restart it for the update");
                return;
            }
            auto info = self->deviceInfoDict();
            Text current = self->firmwareVersion();
            info->set(QELMOR_ZVPrinterFirmwareVersionPrevious, current ? ovn::Value(*current) : ovn::Value());
            info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, static_cast<int64_t>(ZVFirmwareUpdateWaiting));
            // Nothing is sent before the journal holds the phase: a program that ends now must find it again.
            if (!self->journalPhase(ZVFirmwareUpdateWaiting)) {
                info->remove(QELMOR_ZVPrinterDeviceFirmwareStatus);
                DispatchQueue::main()->async([self] { self->setInFirmwareUpdate(false); });
                self->closeInterface(nullptr);
                return;
            }
            self->waitForPrinterStatusCode(proto::kRawStatusIdle);
            self->setOverridePrinterStatus("Updating firmware ...");
            self->sendPrinterCommand(proto::kCmdFlashRewrite);
            self->closeInterface(nullptr);
        });
    });
}

// ---------------------------------------------------------------------------------------------------------
// Upload step

void ZVUSBPrinterOVN::uploadFirmware() {
    auto self = ovnSelf();
    openInterface([self](IOReturn result) {
        if (result != kIOReturnSuccess) {
            SysLog("could not open %s to upload the firmware", self->descriptionUTF8().c_str());
            self->showNotAnswering("it could not be opened to send the firmware");
            return;
        }
        // Checked here, on the printer's queue, and not on the main queue.
        if (!self->verifyFirmwareArchive()) {
            SysLog("failed to verify firmware archive");
            self->showAlertWithTitle(std::string(kBadFileTitle), std::string(kBadFileMessage), buttons({"OK"}),
                                     nullptr);
            self->closeInterface(nullptr);
            return;
        }
        self->setOverridePrinterStatus("Writing firmware ...");
        std::optional<ovn::OVNSRecord::FirmwareImage> image = self->firmwareBlob();
        if (image) {
            SysLog("Uploading firmware to printer");
            auto info = self->deviceInfoDict();
            const std::optional<ovn::Value> phaseBefore = info->get(QELMOR_ZVPrinterDeviceFirmwareStatus);
            info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, static_cast<int64_t>(ZVFirmwareUpdateRebooting));
            if (!self->journalPhase(ZVFirmwareUpdateRebooting)) {
                info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, phaseBefore.value_or(ovn::Value()));
                self->closeInterface(nullptr);
                return;
            }
            {
                ovn::update::CriticalUpdateStep step("writing the firmware image");
                self->setWriteStatus(kIOReturnError);
                self->sendPrinterCommand(proto::kCmdFlashProgram, proto::FramedPayload::adopt(image->takeBuffer()));
            }
            if (self->writeStatus() != kIOReturnSuccess) {
                // The image did not go out whole: the printer still waits for it, and its next arrival uploads
                // it again.
                SysLog("the firmware image did not reach %s; it is sent again when the printer is back",
                       self->descriptionUTF8().c_str());
                info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, static_cast<int64_t>(ZVFirmwareUpdateWaiting));
                self->journalPhase(ZVFirmwareUpdateWaiting);
            }
        } else {
            SysLog("FAILED Uploading firmware to printer (bad file)");
            self->showAlertWithTitle(std::string(kBadFileTitle), std::string(kBadFileMessage), buttons({"OK"}),
                                     nullptr);
        }
        self->closeInterface(nullptr);
    });
}

// ---------------------------------------------------------------------------------------------------------
// Finish step (command queue)

void ZVUSBPrinterOVN::finishFirmwareUpdate() {
    auto self = ovnSelf();
    performInlineOnCommandQueue([self] {
        // A printer that still waits for its firmware was never programmed (the image was lost on the way):
        // upload it again instead of writing colour tables it would ignore.
        if (self->openInterface() == kIOReturnSuccess) {
            self->sendPrinterCommand(proto::kCmdStatus);
            Text raw = proto::replyText(self->printerReply());
            if (raw == std::string(proto::kRawStatusFirmwareUpdateMode)) {
                SysLog("%s still waits for its firmware: uploading it again", self->descriptionUTF8().c_str());
                self->deviceInfoDict()->set(QELMOR_ZVPrinterDeviceFirmwareStatus,
                                            static_cast<int64_t>(ZVFirmwareUpdateWaiting));
                DispatchQueue::main()->async([self] { self->uploadFirmware(); });
                return;
            }
        }
        // Signals wait for the colour-table step: a printer left with its tables cleared prints wrongly.
        ovn::update::beginCriticalUpdateStep("writing the colour tables");
        self->writeColorTables([self](ColorTableOutcome outcome, const std::vector<std::string>& tables) {
            ovn::update::endCriticalUpdateStep();
            auto info = self->deviceInfoDict();
            const std::string previous = shown(info->getString(QELMOR_ZVPrinterFirmwareVersionPrevious));
            const std::string current = shown(self->firmwareVersion());
            auto problem = [&] {
                self->showAlertWithTitle(std::string(kProblemTitle),
                                         "Previous firmware version: " + previous + " current version: " + current,
                                         buttons({"OK"}), nullptr);
            };
            switch (outcome) {
                case ColorTableOutcome::Written:
                    self->journalPhase(ZVFirmwareUpdateFinished);
                    self->journalClose("succeeded", tables);
                    self->showAlertWithTitle(std::string(kSuccessTitle),
                                             "Firmware version updated from " + previous + " to " + current,
                                             buttons({"Finish"}), nullptr);
                    break;
                case ColorTableOutcome::FilesMissing:
                case ColorTableOutcome::ArchiveFailed:
                    // Said once: the next arrival finds the update over instead of clearing the tables again.
                    info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, static_cast<int64_t>(ZVFirmwareUpdateFinished));
                    self->journalClose("failed");
                    problem();
                    break;
                case ColorTableOutcome::NotOpened:
                    // The phase stays: the printer's next arrival writes the tables.
                    self->showAlertWithTitle(
                        std::string(kAlertTitleTablesNotWritten),
                        self->printerNameForUser() +
                            " could not be opened to write its colour tables. The update is finished the next time "
                            "the printer is found; power-cycle it if it does not come back.",
                        buttons({"OK"}), nullptr);
                    break;
                case ColorTableOutcome::Incomplete:
                    problem();
                    break;
            }
            DispatchQueue::main()->async([self] { self->setInFirmwareUpdate(false); });
            if (outcome != ColorTableOutcome::NotOpened) self->updatePrinterStatus();
        });
    });
}

// ---------------------------------------------------------------------------------------------------------
// Status poll

bool ZVUSBPrinterOVN::isReleased() const { return !interfaceInterface(); }

void ZVUSBPrinterOVN::waitForPrinterStatusCode(const std::string& rawStatus) { pollStatus(ovnSelf(), rawStatus, true); }

// One round of the poll. Between rounds only a weak reference is held, so a printer object that is released
// (the printer left the bus) or freed ends its poll at the next round.
void ZVUSBPrinterOVN::pollStatus(const std::weak_ptr<ZVUSBPrinterOVN>& weak, const std::string& awaited, bool first) {
    auto self = weak.lock();
    if (!self) return;
    if (self->isReleased()) {
        SysLog("status poll for \"%s\" ended: the printer object was released", awaited.c_str());
        return;
    }
    if (first) SysLog("waiting for printer status \"%s\" on %s", awaited.c_str(), self->descriptionUTF8().c_str());
    self->openInterface([weak, awaited](IOReturn result) {
        auto self = weak.lock();
        if (!self || self->isReleased()) return;
        if (result != kIOReturnSuccess) {
            if (auto queue = self->printerCommandQueue()) {
                queue->asyncAfter(kPollInterval, [weak, awaited] { pollStatus(weak, awaited, false); });
            }
            return;
        }
        self->getPrinterStatus([weak, awaited](const Text& raw) {
            auto self = weak.lock();
            if (!self || self->isReleased()) return;
            if (stringForDSStatusString(raw) == stringForDSStatusString(awaited)) return;
            DispatchQueue::main()->asyncAfter(kPollInterval, [weak, awaited] { pollStatus(weak, awaited, false); });
        });
    });
}
