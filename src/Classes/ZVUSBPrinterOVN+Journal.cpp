// The firmware update and the update journal. The update itself is kept in the device-info dictionary, which
// carries it across the printer's restarts while the program runs; the journal keeps it on disk, so that a
// later run finds an update an earlier one left unfinished. At a printer's arrival without an update in
// memory, the journal only seeds the dictionary (after the user agreed) and the first probe resumes as it would
// have with the phase in memory.
#include <cstdio>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/UpdateJournal.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"

using ovn::DispatchQueue;
using ovn::SysLog;
using ovn::update::JournalRecord;
using ovn::update::UpdateJournal;
namespace proto = ovn::protocol;

namespace {

// A serial number as the printer reported it: a missing or placeholder answer is none.
ZVUSBPrinter::Text usableSerial(const ZVUSBPrinter::Text& text) {
    if (!text) return std::nullopt;
    std::string s = proto::trimWhitespaceAndNewlines(*text);
    if (s.empty() || s == "NULL") return std::nullopt;
    return s;
}

std::string locationText(uint32_t location) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", location);
    return buf;
}

std::string versionText(const std::optional<std::string>& v) { return v ? *v : std::string("an unknown version"); }

}  // namespace

std::string ZVUSBPrinterOVN::printerNameForUser() const {
    std::string kind = model().value_or(productUSB().value_or(""));
    if (kind.empty()) {
        const auto* row = ovn::OVNFirmwareCatalogue::rowForProductID(idProductValue());
        kind = row ? row->model : "printer";
    }
    Text serial = usableSerial(printerSerialNumber());
    if (!serial) serial = usableSerial(serialNumberUSB());
    return "OVN " + kind + " (serial " + serial.value_or("unknown") + ")";
}

std::string ZVUSBPrinterOVN::journalIdentity() const {
    if (auto known = deviceInfoDict()->getString(QELMOR_ZVPrinterUpdateJournalIdentity)) return *known;
    JournalRecord r;
    r.productID = idProductValue();
    r.serial = usableSerial(printerSerialNumber());
    if (!r.serial) r.serial = usableSerial(serialNumberUSB());
    r.usbLocation = locationText(locationID());
    return r.identity();
}

// ---------------------------------------------------------------------------------------------------------
// Writing and closing

ZVUSBPrinter::Text ZVUSBPrinterOVN::learnSerialNumber() {
    sendPrinterCommand(proto::kCmdSerialNumber);
    Text serial = usableSerial(proto::replyText(printerReply()));
    if (serial && !usableSerial(printerSerialNumber())) {
        // A printer waiting for firmware gets no information probe: its alerts and its journal record are to
        // name it all the same.
        performSyncOnMainQueue([this, &serial] {
            storeAnnounced(QELMOR_ZVPrinterSerialNumber, QELMOR_ZVPrinterSerialNumber, *serial);
        });
    }
    return serial;
}

bool ZVUSBPrinterOVN::journalPhase(int64_t phase) {
    auto journal = UpdateJournal::shared();
    if (!journal) return true;  // a process without a journal keeps its updates in memory only
    // Known by its serial number rather than by the port it happens to be plugged into.
    if (!deviceInfoDict()->contains(QELMOR_ZVPrinterUpdateJournalIdentity) && !usableSerial(printerSerialNumber()) &&
        isPrinterCommandQueue() && isInterfaceOpen())
        learnSerialNumber();
    const std::string identity = journalIdentity();
    std::string why;
    const UpdateJournal::Lock lock = journal->lock(identity, &why);
    if (lock == UpdateJournal::Lock::HeldElsewhere) {
        showUpdateRefused("Another program is updating the firmware of " + printerNameForUser() +
                          ". Wait until it has finished, then try again.");
        return false;
    }
    JournalRecord record = journal->record(identity).value_or(JournalRecord{});
    auto info = deviceInfoDict();
    record.productID = idProductValue();
    record.model = printerNameForUser().substr(0, printerNameForUser().find(" (serial"));
    record.serial = usableSerial(printerSerialNumber());
    if (!record.serial) record.serial = usableSerial(serialNumberUSB());
    record.usbLocation = locationText(locationID());
    if (auto previous = info->getString(QELMOR_ZVPrinterFirmwareVersionPrevious)) record.from = previous;
    if (auto offered = offeredFirmwareVersion()) record.to = offered;
    if (record.files.empty()) {
        if (const auto* row = ovn::OVNFirmwareCatalogue::rowForProductID(idProductValue()))
            for (size_t i = 0; i < row->files.size(); ++i)
                record.files.push_back({row->files[i], i < row->hashes.size() ? row->hashes[i] : ""});
    }
    record.phase = phase;
    if (lock == UpdateJournal::Lock::Failed || !journal->save(record, &why)) {
        if (phase == ZVFirmwareUpdateFinished) return false;  // the record is closed next anyway
        showUpdateRefused("The firmware of " + printerNameForUser() +
                          " is not updated: the update journal cannot be kept (" + why +
                          "). Make the folder writable, then try again.");
        return false;
    }
    info->set(QELMOR_ZVPrinterUpdateJournalIdentity, identity);
    return true;
}

void ZVUSBPrinterOVN::journalClose(const std::string& result, const std::vector<std::string>& tablesWritten) {
    auto info = deviceInfoDict();
    auto identity = info->getString(QELMOR_ZVPrinterUpdateJournalIdentity);
    const bool resumed = info->getBool(QELMOR_ZVPrinterUpdateResumed).value_or(false);
    info->remove(QELMOR_ZVPrinterUpdateJournalIdentity);
    info->remove(QELMOR_ZVPrinterUpdateResumed);
    auto journal = UpdateJournal::shared();
    if (!journal || !identity) return;
    const std::string how = result == "succeeded" && resumed ? "resumed" : result;
    // The history line and the removal are synced to disk: never on the main queue.
    auto self = ovnSelf();
    performInlineOnCommandQueue([self, journal, identity = *identity, how, tablesWritten] {
        journal->close(identity, how, self->firmwareVersion(), tablesWritten);
    });
}

// ---------------------------------------------------------------------------------------------------------
// Refusals (main thread)

bool ZVUSBPrinterOVN::updateRefusedByJournal() {
    auto journal = UpdateJournal::shared();
    if (!journal) return false;
    std::string why;
    if (!journal->usable(&why)) {
        showUpdateRefused("The firmware of " + printerNameForUser() +
                          " is not updated: the update journal cannot be kept (" + why +
                          "). Make the folder writable, then try again.");
        return true;
    }
    if (journal->lockedElsewhere(journalIdentity())) {
        showUpdateRefused("Another program is updating the firmware of " + printerNameForUser() +
                          ". Wait until it has finished, then try again.");
        return true;
    }
    return false;
}

void ZVUSBPrinterOVN::showUpdateRefused(const std::string& reason) {
    SysLog("firmware update refused: %s", reason.c_str());
    showAlertWithTitle(std::string(kAlertTitleUpdateRefused), reason, std::vector<std::string>{"OK"}, nullptr);
}

void ZVUSBPrinterOVN::showNotAnswering(const std::string& step) {
    SysLog("%s stopped answering: %s", printerNameForUser().c_str(), step.c_str());
    showAlertWithTitle(std::string(kAlertTitleNotAnswering),
                       printerNameForUser() + " stopped answering (" + step +
                           "). Check that it is switched on and connected, and power-cycle it if it stays silent. "
                           "An update under way goes on when the printer is found again.",
                       std::vector<std::string>{"OK"}, nullptr);
}

// ---------------------------------------------------------------------------------------------------------
// Resuming at arrival (command queue, interface open)

bool ZVUSBPrinterOVN::resumeFromJournal() {
    auto journal = UpdateJournal::shared();
    if (!journal) return false;
    journal->reload();  // another program may have written since
    if (!journal->hasRecordFor(idProductValue())) return false;

    // A printer waiting for firmware still tells its serial number; the USB descriptor's is the fall-back.
    Text serial = learnSerialNumber();
    if (!serial) serial = usableSerial(serialNumberUSB());
    auto record = journal->find(idProductValue(), serial, locationText(locationID()));
    if (!record) return false;
    const std::string identity = record->identity();
    const std::string name = printerNameForUser();
    if (journal->lockedElsewhere(identity)) {
        SysLog("%s is being updated by another program: its journal record is left to it", name.c_str());
        return false;
    }

    Text firmware = inlineGetFirmwareString();
    sendPrinterCommand(proto::kCmdStatus);
    const Text raw = proto::replyText(printerReply());
    const bool updateMode = raw == std::string(proto::kRawStatusFirmwareUpdateMode);
    const bool normalMode = isNormalModeStatus(raw);
    SysLog("the update journal holds phase %lld for %s, which reports \"%s\"%s", static_cast<long long>(record->phase),
           name.c_str(), versionText(firmware).c_str(), updateMode ? " in firmware update mode" : "");

    if (record->phase >= ZVFirmwareUpdateFinished) {
        journal->close(identity, "succeeded", firmware);
        return false;
    }
    if (normalMode && record->phase == ZVFirmwareUpdateWaiting) {
        // It never went into update mode: nothing was changed and there is nothing to finish.
        SysLog("%s never entered firmware update mode: the journal's update is closed", name.c_str());
        journal->close(identity, "failed", firmware);
        return false;
    }
    if (normalMode && firmware && *firmware != proto::kIntermediateFirmware && firmware != record->from &&
        firmware != record->to) {
        SysLog("%s now runs %s, neither %s nor %s: the journal's update is superseded", name.c_str(),
               versionText(firmware).c_str(), versionText(record->from).c_str(), versionText(record->to).c_str());
        journal->close(identity, "superseded", firmware);
        return false;
    }
    offerJournalResume(identity, record->phase);
    return true;
}

void ZVUSBPrinterOVN::offerJournalResume(const std::string& identity, int64_t phase) {
    auto journal = UpdateJournal::shared();
    auto record = journal ? journal->record(identity) : std::nullopt;
    if (!record) return;
    const std::string where = phase == ZVFirmwareUpdateWaiting
                                  ? "while the printer was restarting into firmware update mode"
                                  : "after the new firmware was sent and before its colour tables were written";
    const std::string message = "The firmware update of " + printerNameForUser() + " from " +
                                versionText(record->from) + " to " + versionText(record->to) +
                                " was interrupted " + where + ". Would you like to finish it now?";
    auto self = ovnSelf();
    showCustomAlertWithTitle(
        std::string(kAlertTitleFinishUpdate), message, std::vector<std::string>{"Later", "Update Firmware"},
        std::nullopt, ovn::AlertStyle::Critical, nullptr, [self, identity, record](long response) {
            if (response != ovn::kAlertSecondButtonReturn) {
                SysLog("finishing the update of %s left for later", self->printerNameForUser().c_str());
                self->pendingJournalResume_ = identity;
                return;
            }
            self->pendingJournalResume_.reset();
            if (self->updateRefusedByJournal()) return;
            // Seeded as the program that started the update would have left it in memory.
            auto info = self->deviceInfoDict();
            info->set(QELMOR_ZVPrinterDeviceFirmwareStatus, record->phase);
            info->set(QELMOR_ZVPrinterFirmwareVersionPrevious, record->from ? ovn::Value(*record->from) : ovn::Value());
            info->set(QELMOR_ZVPrinterUpdateJournalIdentity, identity);
            info->set(QELMOR_ZVPrinterUpdateResumed, true);
            self->setInFirmwareUpdate(true);
            const int64_t phase = record->phase;
            self->openInterface([self, phase](IOReturn result) {
                if (result != kIOReturnSuccess) {
                    DispatchQueue::main()->async([self] { self->setInFirmwareUpdate(false); });
                    self->showNotAnswering("it could not be opened to finish the update");
                    return;
                }
                self->resumeUpdatePhase(phase, self->inlineGetFirmwareString());
                self->closeInterface(nullptr);
            });
        });
}
