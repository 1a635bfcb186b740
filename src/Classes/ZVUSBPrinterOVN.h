// ZVUSBPrinterOVN: the OVN vendor printer. It adds the vendor command language to the generic printer object:
// command frames and replies, the status query, the information probe (firmware version, serial number,
// lifetime counter, colour-table versions and checksums, USB iSerial setting), counter resets, the model
// picture, the USB iSerial setting, the accepted USB IDs and the first probe that resumes an interrupted
// firmware update.
//
// Files:
//   ZVUSBPrinterOVN.cpp            accepted IDs, set-up, first probe, observable values
//   ZVUSBPrinterOVN+Protocol.cpp   command frames and replies
//   ZVUSBPrinterOVN+Queries.cpp    status, information queries, counters, picture, colour-table queries
//   ZVUSBPrinterOVN+ISerial.cpp    USB iSerial setting
//   ZVUSBPrinterOVN+Catalogue.cpp  firmware catalogue, file verification, S-record images
//   ZVUSBPrinterOVN+Update.cpp     firmware update workflow and status poll
//   ZVUSBPrinterOVN+ColorTables.cpp colour-table upload
//   ZVUSBPrinterOVN+Dialogs.cpp    alerts, the update warning, the power-cycle and busy notices
//   ZVUSBPrinterOVN+PrintQueues.cpp clean-up of stale print queues
//
// Threads: queries run their exchanges on the printer's command queue and publish their results on the main
// thread, announcing "will change" / "did change" for the property's key around the store. The main thread
// never waits for a command queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Classes/OVNProtocol.h"
#include "Classes/OVNSRecord.h"
#include "Classes/ZVUSBPrinter.h"
#include "platform/Alerts.h"

// Device-info dictionary keys of the vendor printer.
inline constexpr char QELMOR_ZVPrinterLifetimeCounter[] = "ZVPrinterLifetimeCounter";
inline constexpr char QELMOR_ZVPrinterFirmwareVersionPrevious[] = "firmwareVersionPrevious";
inline constexpr char QELMOR_ZVPrinterDeviceFirmwareStatus[] = "deviceFirmwareStatus";
inline constexpr char QELMOR_OVN_USB_ISerialisSet[] = "QELMOR_OVN_USB_ISerialisSet";
inline constexpr char QELMOR_ZVPrinterColorTableVersion[] = "colorTableVersion";
inline constexpr char QELMOR_ZVPrinterColorTableVersion600[] = "colorTableVersion600";
inline constexpr char QELMOR_ZVPrinterColorTableVersion610[] = "colorTableVersion610";
inline constexpr char QELMOR_ZVPrinterColorTableVersion620[] = "colorTableVersion620";
inline constexpr char QELMOR_ZVPrinterColorTableVersion300HD[] = "colorTableVersion300HD";
inline constexpr char QELMOR_ZVPrinterColorTableVersion600HD[] = "colorTableVersion600HD";
inline constexpr char QELMOR_ZVPrinterColorTableVersion610HD[] = "colorTableVersion610HD";
inline constexpr char QELMOR_ZVPrinterColorTableVersion620HD[] = "colorTableVersion620HD";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum300[] = "colorTableChecksum300";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum600[] = "colorTableChecksum600";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum610[] = "colorTableChecksum610";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum620[] = "colorTableChecksum620";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum300HD[] = "colorTableChecksum300HD";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum600HD[] = "colorTableChecksum600HD";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum610HD[] = "colorTableChecksum610HD";
inline constexpr char QELMOR_ZVPrinterColorTableChecksum620HD[] = "colorTableChecksum620HD";
// The journal identity of the update under way (see UpdateJournal.h), and whether it was resumed from the
// journal by a later run of a program.
inline constexpr char QELMOR_ZVPrinterUpdateJournalIdentity[] = "updateJournalIdentity";
inline constexpr char QELMOR_ZVPrinterUpdateResumed[] = "updateResumed";

// Titles of the workflow's alerts that end an update without success (the command-line program maps them to
// its failure status).
inline constexpr char kAlertTitleUpdateRefused[] = "Firmware update refused";
inline constexpr char kAlertTitleNoUpdateMode[] = "The printer did not enter firmware update mode";
inline constexpr char kAlertTitleNotAnswering[] = "The printer is not answering";
inline constexpr char kAlertTitleTablesNotWritten[] = "The colour tables could not be written";
// The question before an update left unfinished by an earlier run is finished.
inline constexpr char kAlertTitleFinishUpdate[] = "Finish the firmware update?";

// Update phase, the integer under "deviceFirmwareStatus".
enum ZVFirmwareUpdatePhase : int64_t {
    ZVFirmwareUpdateWaiting = 1,    // told to restart into firmware update mode; the image is to be sent
    ZVFirmwareUpdateRebooting = 2,  // image sent; the update is to be finished after the reboot
    ZVFirmwareUpdateFinished = 3,   // colour tables written; nothing left to do
};

class ZVUSBPrinterOVN : public ZVUSBPrinter {
public:
    // The raw status text of a status reply, or nothing when the reply held no UTF-8 text.
    using StatusCompletion = std::function<void(const Text& rawStatus)>;
    using ColorTableCompletion = std::function<void(const std::vector<std::string>& texts)>;
    using AlertCompletion = std::function<void(long response)>;
    using AlertLayout = std::function<void(ovn::AlertRequest& alert)>;
    using ButtonTitles = std::optional<std::vector<std::string>>;

    ZVUSBPrinterOVN() = default;

    // ---- accepted USB IDs and set-up ----

    // Vendor IDs 0x2A71 and 0x2A72.
    static std::optional<IndexSet> supportedVendorIDs();
    // Product ID 0x0106 (PL25 duplex) and any product IDs added since.
    static std::optional<IndexSet> supportedProductIDs();
    // Adds product IDs to the accepted set (the registry does so from the user defaults).
    static void addSupportedProductIDs(const IndexSet& productIDs);
    // Back to the built-in set (tests).
    static void resetSupportedProductIDs();
    std::optional<IndexSet> classSupportedVendorIDs() const override;
    std::optional<IndexSet> classSupportedProductIDs() const override;

    // The generic set-up, then the merge of the device information saved for the same device and the first
    // probe. Main thread.
    bool initWithInterfaceInterface(const InterfacePtr& interface, const ServicePtr& service) override;
    // Resumes an interrupted firmware update, offers one for a printer found in firmware update mode, or runs
    // the information probe. Refused as busy, it runs again when the other program closes the printer.
    void probeAtInit();
    bool interfaceClosedByOther() override;

    // ---- command frames and replies (command queue) ----

    using ZVUSBPrinter::sendPrinterCommand;
    static Text stringForCommandCode(uint32_t code);
    // Builds one frame and writes it; no reply is read.
    void sendPrinterCommand(uint32_t code, std::span<const uint8_t> payload = {});
    // The same around a payload that already has room for the header (large uploads, no copy).
    void sendPrinterCommand(uint32_t code, ovn::protocol::FramedPayload&& payload);
    // Reads one reply: the reply value, or nothing when the read failed or the reply was refused.
    PrinterReply printerReply() override;
    // Error hook of the class ("Internal error L%d", "Communication error"); discards both arguments.
    virtual void errorWithString(const std::string& text, long code);

    // ---- status ----

    static std::string stringForDSStatusString(const Text& rawStatus);
    // Whether a raw status is one of a printer running its firmware (five decimal digits: "00000", "01100"); a
    // garbled answer is not.
    static bool isNormalModeStatus(const Text& rawStatus);
    // Opens the interface, queries the status, publishes its text as "printerStatus" and calls the
    // completion (main thread) with the raw status. No reply: nothing changes and the completion is not called.
    void getPrinterStatus(const StatusCompletion& completion);
    void updatePrinterStatus();
    // Shows a text of its own as the printer status (set on the main thread, asynchronously).
    void setOverridePrinterStatus(const std::string& status);

    // ---- information queries and counters ----

    void getDeviceCustomInfo() override;
    void getPrinterFirmwareVersion();
    // The firmware version read on the spot (command queue, interface open), trimmed; nothing without a reply.
    Text inlineGetFirmwareString();
    void updatePrinterSerialNumber();
    void getPrinterLifetimeCounter();
    Text lifetimeCounter() const;
    // Counter letters 'A', 'B', 'M'; any other letter sends nothing.
    void resetCounter(char letter);
    // Resets a media counter and tells, on the main queue, whether the printer took it: kIOReturnSuccess, or
    // the failure with a reason the user can read.
    using CounterResetCompletion = std::function<void(IOReturn result, const std::string& reason)>;
    void resetCounter(char letter, CounterResetCompletion completion);
    void resetCounterA() { resetCounter('A'); }
    void resetCounterB() { resetCounter('B'); }
    void resetCounterM() { resetCounter('M'); }
    // The model picture's resource name ("PL45.png") when it is among the delivered data.
    Text image() const override;
    // The full path of the model picture, or nothing.
    Text imagePath() const;

    // ---- colour-table queries (command queue, interface already open) ----

    ovn::protocol::ColorTableLayout colorTableLayout() const;
    void getPrinterColorTableVersion(const ColorTableCompletion& completion);
    void getPrinterColorTableChecksum(const ColorTableCompletion& completion);
    static std::vector<uint8_t> commandPayloadForMediaSD();
    static std::vector<uint8_t> commandPayloadForMediaPP();
    // The stored text of a colour-table key ("colorTableVersion610HD", ...), or nothing.
    Text colorTableValue(const std::string& key) const;
    Text colorTableVersion() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion); }
    Text colorTableVersion600() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion600); }
    Text colorTableVersion610() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion610); }
    Text colorTableVersion620() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion620); }
    Text colorTableVersion300HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion300HD); }
    Text colorTableVersion600HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion600HD); }
    Text colorTableVersion610HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion610HD); }
    Text colorTableVersion620HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableVersion620HD); }
    Text colorTableChecksum300() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum300); }
    Text colorTableChecksum600() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum600); }
    Text colorTableChecksum610() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum610); }
    Text colorTableChecksum620() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum620); }
    Text colorTableChecksum300HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum300HD); }
    Text colorTableChecksum600HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum600HD); }
    Text colorTableChecksum610HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum610HD); }
    Text colorTableChecksum620HD() const { return colorTableValue(QELMOR_ZVPrinterColorTableChecksum620HD); }

    // ---- USB iSerial setting ----

    bool hasISerialSupport() const;
    void getUSB_ISerial();
    void setUSB_ISerial(bool enable);
    void setEnabledUSBSerial(bool enable);
    // The writer of the observable "usbISerial": asks the printer for the change when it differs from the
    // stored setting.
    void setUsbISerial(bool enable);
    bool usbISerial() const;
    // "Enabled", "Disabled", or "Unavailable" for a model without the setting.
    std::string usbISerialString() const;

    // Observable values: the keys above ("lifetimeCounter", the colour-table keys, "usbISerial",
    // "usbISerialString", "newFirmwareVersion") and those of the base class.
    ovn::Value valueForKey(const std::string& key) const override;

    // ---- firmware workflow and dialogs ----

    // The version number of the printer's reported firmware version (last blank-separated word), 0 for none.
    virtual double installedFirmwareVersion() const;
    // The firmware version the application offers for this model ("PL15 01.61"), or nothing.
    virtual Text newFirmwareVersion();
    virtual void uploadFirmware();
    virtual void finishFirmwareUpdate();
    virtual void proceedWithUpdateWhenReady();
    virtual void deleteExistingPrinterQueues();
    // Title, message and buttons may be absent ("Alert", "", a single "OK").
    virtual void showAlertWithTitle(const Text& title, const Text& message, const ButtonTitles& buttonTitles,
                                    const AlertCompletion& completion);
    // Nothing is shown, and the completion never called, when title and message are both empty or absent.
    virtual void showCustomAlertWithTitle(const Text& title, const Text& message, const ButtonTitles& buttonTitles,
                                          const std::optional<ovn::AlertRequest::Checkbox>& accessoryView,
                                          ovn::AlertStyle alertStyle, const AlertLayout& customLayout,
                                          const AlertCompletion& completion);
    virtual void showPowerCycleAlert();
    virtual void showPrinterBusyAlert();
    // Observable values of the workflow ("customerDidAgree", ...); nothing for a key it does not know.
    virtual ovn::Value workflowValueForKey(const std::string& key) const;

    // -- catalogue and verification --
    // Selects the catalogue row of the printer's product ID, records its file list and hash list and checks
    // every delivered file against its expected hash (see OVNFirmwareCatalogue.h). Any thread.
    bool verifyFirmwareArchive();
    // The file hash of some contents (HMAC-SHA256 keyed with the class name, plus a zero byte, in hex).
    Text verifyBlob(std::span<const uint8_t> contents) const;
    static std::string asciiHexForData(std::span<const uint8_t> bytes);
    // Records the list under "firmwareFilenames" on the main thread, later, announcing "newFirmwareVersion".
    void setFilenames(const std::vector<std::string>& filenames);
    double availableFirmwareVersion();
    // The checked firmware image of the recorded file list, padded, with room for the frame header in front;
    // nothing when the file is missing or fails the S-record check.
    std::optional<ovn::OVNSRecord::FirmwareImage> firmwareBlob();
    static bool verifyMotorolaSFile(std::span<const uint8_t> bytes);
    static bool verifyMotorolaSFile(const std::filesystem::path& path);
    static bool verifySRecData(std::span<const uint8_t> bytes);
    static std::optional<std::vector<uint8_t>> paddedData(std::optional<std::vector<uint8_t>> bytes);

    // -- update workflow (main thread unless noted) --
    // The user's update command: file check, then the update warning.
    void updateFirmware(const void* sender = nullptr);
    // The last confirmation.
    void updateFirmwareReady();
    // The restart step: asks the printer to restart into firmware update mode.
    void updateFirmwareAndColorTables();
    // Polls the status every 500 ms until the printer reports the awaited code, stops answering, or the
    // object is released. Returns once the first query is issued. Any thread.
    void waitForPrinterStatusCode(const std::string& rawStatus);

    // -- update journal --
    // The printer as alerts name it: "OVN PL45 (serial 7C1004721)".
    std::string printerNameForUser() const;
    // The identity under which the update of this printer is journalled.
    std::string journalIdentity() const;

    // -- colour tables (command queue) --
    // How the colour-table step ended.
    enum class ColorTableOutcome {
        Written,        // every listed table was sent
        FilesMissing,   // a listed table file is missing or empty: nothing was sent
        NotOpened,      // the printer could not be opened: nothing was sent
        ArchiveFailed,  // the delivered files failed their check: nothing was sent
        Incomplete,     // the printer stopped taking frames part way
    };
    using ColorTableStepCompletion =
        std::function<void(ColorTableOutcome outcome, const std::vector<std::string>& tablesWritten)>;
    // The colour-table step with its outcome; the completion runs on the command queue in every case.
    void writeColorTables(const ColorTableStepCompletion& completion);
    using UploadCompletion = std::function<void(bool allTablesSent)>;
    // Clears and rewrites the colour tables of the catalogue; the completion (command queue) receives true
    // only when every listed table was sent.
    void updateColorTables(const UploadCompletion& completion);
    // The recorded file list without the firmware file (empty for a list of fewer than three names).
    std::vector<std::string> colorTableNames() const;
    // The contents of a delivered colour-table file; nothing when it is missing or unreadable.
    std::optional<std::vector<uint8_t>> paddedColorDataForVersion(const std::string& fileName) const;

    // -- dialogs (main thread) --
    // The warning that must be accepted, with its "I Agree" checkbox, before an update.
    void ShowMV1Warning();
    std::string MV1UpdateWarningText();
    std::string genericUpdateWarningText();
    // The checkbox's action: announces "customerDidAgree".
    void setToggleAgreed(bool checked);
    bool customerDidAgree() const { return customerDidAgree_.load(); }

protected:
    std::shared_ptr<ZVUSBPrinterOVN> ovnSelf();
    // Stores a value in the device-info dictionary (nothing removes the key) between the change
    // announcements of `notifyKey`. Main thread.
    void storeAnnounced(const char* notifyKey, const char* dictKey, ovn::Value value);

private:
    // The status query; `noReply` (command queue or main thread) runs when no status arrives after a
    // successful open.
    void queryPrinterStatus(const StatusCompletion& completion, const std::function<void()>& noReply);
    void runColorTableQueries(std::span<const ovn::protocol::ColorTableQuery> queries,
                              const ColorTableCompletion& completion);
    void raiseInternalError(int line);
    // Reads and drops whatever a printer left in its bulk IN pipe after a reply that was not read whole (a
    // reply later than the time-out, or one too long to take), so that the next query reads its own answer.
    void discardStaleReplyBytes();

    // The recorded file list, or the catalogue row's list while the recording is still on its way to the
    // main thread.
    std::optional<std::vector<std::string>> filenamesForUse() const;
    // The firmware version offered for this printer, from that list.
    Text offeredFirmwareVersion() const;
    // Whether every file of the catalogue row is present and not empty.
    bool allCatalogueFilesPresent() const;
    // True once prepareForRelease has taken the interface handle away.
    bool isReleased() const;
    void closeAfterWorkflowEnds();
    // Runs the first probe's step for an update phase (command queue, interface open).
    void resumeUpdatePhase(int64_t phase, const Text& firmware);
    // The first probe of a printer without an update in memory: a journal record of a program that ended
    // mid-update is closed or offered for resuming. True when it took over the probe.
    bool resumeFromJournal();
    void offerJournalResume(const std::string& identity, int64_t phase);
    // Writes the phase to the process's journal, taking the printer's lock first. False (an alert shown, the
    // workflow ended) when the update must not go on without it. Any thread.
    bool journalPhase(int64_t phase);
    void journalClose(const std::string& result, const std::vector<std::string>& tablesWritten = {});
    // Asks the printer for its serial number (command queue, interface open) and stores it when none is known.
    Text learnSerialNumber();
    // Main thread: refuses (with an alert) an update that another program drives or that has no journal.
    bool updateRefusedByJournal();
    void showUpdateRefused(const std::string& reason);
    void showNotAnswering(const std::string& step);
    // The archive check and the image check, off the main queue; `done` runs on the main queue.
    void checkFilesOffMain(std::function<void(bool intact)> done);
    static void pollStatus(const std::weak_ptr<ZVUSBPrinterOVN>& weak, const std::string& rawStatus, bool first);

    std::atomic<bool> customerDidAgree_{false};
    std::atomic<bool> probeOwed_{false};  // the probe at arrival found the printer taken by another program
    // A journal record the user chose to finish later (main thread).
    std::optional<std::string> pendingJournalResume_;
};
