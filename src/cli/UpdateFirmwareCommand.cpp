// ovnctl update-firmware: the whole update of each printer of the command, one after the other, through both
// restarts; an update left half done (its phase seeded from the update journal) is finished.
#include <cctype>
#include <cstdio>
#include <map>

#include "Classes/UpdateHistory.h"
#include "Classes/UpdateSteps.h"
#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

using Clock = std::chrono::steady_clock;

namespace {

constexpr char kSuccessTitle[] = "Firmware update was successful!";
constexpr char kProblemTitle[] = "There was a problem with the firmware update!";
constexpr char kNotNeededTitle[] = "Firmware update not needed";
constexpr char kBadFileTitle[] = "There was a problem with the firmware file!";
constexpr char kFileCorruptionPrefix[] = "-- File corruption --";
constexpr char kWritingStatus[] = "Writing firmware ...";

std::string phaseName(int64_t phase) {
    switch (phase) {
        case ZVFirmwareUpdateWaiting: return "restarting into firmware update mode";
        case ZVFirmwareUpdateRebooting: return "firmware image sent; printer programming and restarting";
        case ZVFirmwareUpdateFinished: return "colour tables written";
        default: return "no update under way";
    }
}

std::string oneLine(const std::string& text) {
    std::string out;
    for (char c : text) out += (c == '\n' || c == '\r') ? ' ' : c;
    // Collapse the blank runs the line ends leave.
    std::string collapsed;
    for (char c : out)
        if (!(c == ' ' && !collapsed.empty() && collapsed.back() == ' ')) collapsed += c;
    return collapsed;
}

// How the command line that finishes an interrupted update reads: the options that found the printer, then the
// command. A word with characters a shell treats specially is quoted.
std::string shellWord(const std::string& word) {
    bool plain = !word.empty();
    for (unsigned char c : word) plain = plain && (std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == ':');
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct UpdateRun : std::enable_shared_from_this<UpdateRun> {
    UpdateRun(Session& s, PrinterWatch& w, std::shared_ptr<CliAlertPresenter> p, OutcomeHandler d)
        : session(s), watch(w), presenter(std::move(p)), done(std::move(d)) {}

    Session& session;
    PrinterWatch& watch;
    std::shared_ptr<CliAlertPresenter> presenter;
    OutcomeHandler done;
    std::string key;
    std::string name;
    std::weak_ptr<ZVUSBPrinterOVN> current;
    bool present = true;
    bool ended = false;
    Clock::time_point goneSince;
    Clock::time_point lastProgress = Clock::now();
    std::optional<std::string> lastStatus;
    int64_t lastPhase = 0;
    size_t imageBytes = 0;
    bool writeStarted = false;
    bool awaitingAnswer = false;
    // What the history records of an interrupted update.
    std::optional<std::string> model, serial, from, to;
    double startedAt = ovn::update::nowSeconds();
    int heldSignal = 0;
    // After the success alert: the printer's state is read again before the result is given.
    std::optional<Clock::time_point> successSince;
    std::string successMessage;
    bool refreshing = false;
    // The update was already running when the command came to this printer (taken up at its arrival): its
    // end may have been shown before this run listened.
    bool following = false;
    std::optional<Clock::time_point> quietSince;

    void start(const ZVPrinters::PrinterPtr& printer) {
        key = printer->keyUSBdevice();
        name = shortName(printer);
        current = printer;
        lastStatus = printer->printerStatus();
        model = printer->model();
        if (model && printer->manufacturer()) model = *printer->manufacturer() + " " + *model;
        serial = printer->printerSerialNumber();
        if (!serial || *serial == "NULL") serial = printer->serialNumberUSB();
        from = printer->deviceInfoDict()->getString(QELMOR_ZVPrinterFirmwareVersionPrevious);
        if (!from || !pendingUpdatePhase(printer)) from = printer->firmwareVersion();
        to = printer->newFirmwareVersion();
        if (auto image = printer->firmwareBlob()) imageBytes = image->payload().size();
        session.progress("printer", name,
                         {{"keyUSBdevice", key},
                          {"firmwareVersion", printer->firmwareVersion().value_or("")}});
        auto self = shared_from_this();
        presenter->setMode(session.options().yes ? CliAlertPresenter::Mode::AssumeYes
                                                 : CliAlertPresenter::Mode::Interactive);
        presenter->onShown = [self](const ovn::AlertRequest& request) { return self->alertShown(request); };
        presenter->onAnswered = [self](const ovn::AlertRequest& request, const std::string& button) {
            self->alertAnswered(request, button);
        };
        ovn::setTerminationHandler([self] { self->fail(kExitFailed, "firmware update refused (\"Quit\")"); });
        watch.onEvent = [self](const ZVPrinters::PrinterPtr& p, const std::string& event, const ovn::Value& value) {
            self->printerEvent(p, event, value);
        };
        session.setInterruptionHandler([self](int signal) { self->interrupted(signal); });
        session.every(std::chrono::milliseconds(100), [self] { self->tick(); });

        const auto phase = pendingUpdatePhase(printer);
        const bool waitingForFirmware = printer->printerStatus() == ovn::protocol::stringForDSStatusString(
                                                                        std::string(ovn::protocol::kRawStatusFirmwareUpdateMode));
        if (phase) lastPhase = *phase;
        if (printer->inFirmwareUpdate()) {
            session.progress("following", "an update of " + name + " is already under way");
            following = true;
            return;
        }
        if (phase == ZVFirmwareUpdateRebooting && !waitingForFirmware) {
            // The image is programmed; only the colour tables are left. The printer takes it up as at its arrival.
            session.progress("resuming", "the firmware of " + name + " is installed; its colour tables are written now");
            printer->probeAtInit();
            return;
        }
        const double installed = printer->installedFirmwareVersion();
        if (!phase && !waitingForFirmware && !session.options().reinstall && installed > 0 &&
            installed == printer->availableFirmwareVersion()) {
            const std::string version = printer->firmwareVersion().value_or("");
            finishWith({kExitSuccess, name + " is already up to date (" + version + ")",
                        {{"result", "up-to-date"}, {"message", "already up to date"}, {"printer", printerJson(printer)}}});
            return;
        }
        if (phase == ZVFirmwareUpdateWaiting)
            session.progress("resuming", name + " waits for its firmware image");
        session.progress("checking", "firmware files");
        printer->updateFirmware();
    }

    // This printer's part ends: the session's hooks go back to what they were between printers.
    void finishWith(PrinterOutcome outcome) {
        if (ended) return;
        ended = true;
        presenter->onShown = nullptr;
        presenter->onAnswered = nullptr;
        presenter->setMode(CliAlertPresenter::Mode::Notices);
        watch.onEvent = nullptr;
        session.setInterruptionHandler(nullptr);
        ovn::update::setCriticalUpdateStepsEndedHandler(nullptr);
        Session& s = session;
        ovn::setTerminationHandler([&s] { s.finish(kExitFailed, "the program was asked to quit"); });
        done(std::move(outcome));
    }

    void fail(int status, const std::string& message) { finishWith({status, message}); }

    bool alertShown(const ovn::AlertRequest& request) {
        if (ended) return true;
        lastProgress = Clock::now();
        if (request.title.rfind(kFileCorruptionPrefix, 0) == 0 && request.buttons.size() == 1 &&
            request.buttons[0] == "Quit") {
            // Its only button ends the program.
            fail(kExitFailed, oneLine(request.title + ": " + request.message));
            return false;
        }
        awaitingAnswer = true;
        return true;
    }

    void alertAnswered(const ovn::AlertRequest& request, const std::string& button) {
        if (ended) return;
        awaitingAnswer = false;
        lastProgress = Clock::now();
        const std::string& title = request.title;
        if (title == kSuccessTitle) {
            successMessage = request.message;
            successSince = Clock::now();
            return;
        }
        if (title == kProblemTitle || title == kNotNeededTitle || title == kBadFileTitle ||
            title == kAlertTitleUpdateRefused || title == kAlertTitleNoUpdateMode ||
            title == kAlertTitleNotAnswering || title == kAlertTitleTablesNotWritten ||
            title.rfind(kFileCorruptionPrefix, 0) == 0) {
            fail(kExitFailed, oneLine(name + ": " + title + ": " + request.message));
            return;
        }
        if (button == "Cancel" || button == "Ignore" || button == "Later") {
            fail(kExitFailed, "firmware update of " + name + " cancelled at \"" + oneLine(title) + "\"");
            return;
        }
    }

    // An update this run only follows has ended when the printer is out of it for a second without a result
    // alert: done when its colour tables are written (phase 3), else failed.
    void followEnded(Clock::time_point now) {
        auto printer = current.lock();
        if (!printer || !present || printer->inFirmwareUpdate() || awaitingAnswer) {
            quietSince.reset();
            return;
        }
        if (!quietSince) quietSince = now;
        if (now - *quietSince < std::chrono::seconds(1)) return;
        const auto phase = printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus);
        if (phase == ZVFirmwareUpdateFinished) {
            successMessage = "Firmware version updated" + (from ? " from " + *from : std::string()) +
                             (printer->firmwareVersion() ? " to " + *printer->firmwareVersion() : std::string());
            successSince = now;
        } else {
            fail(kExitFailed, "the update of " + name + " ended without writing its colour tables");
        }
    }

    // After the success alert the workflow clears its flag and asks for the status: the result shows the printer
    // once that is done, with a status read afresh (and the interface closed again).
    void reportSuccessWhenSettled() {
        auto printer = current.lock();
        const bool late = Clock::now() - *successSince >= std::chrono::seconds(10);
        if (!late && (!printer || refreshing || printer->inFirmwareUpdate())) return;
        if (!late && printer) {
            refreshing = true;
            std::weak_ptr<UpdateRun> weak = weak_from_this();
            printer->getPrinterStatus([weak, printer](const ZVUSBPrinter::Text&) {
                printer->closeInterface(nullptr);
                auto queue = printer->printerCommandQueue();
                auto report = [weak] {
                    ovn::DispatchQueue::main()->async([weak] {
                        if (auto self = weak.lock()) self->reportSuccess();
                    });
                };
                if (queue) queue->async(report); else report();
            });
            return;
        }
        reportSuccess();
    }

    void reportSuccess() {
        auto printer = current.lock();
        nlohmann::json result = {{"result", "updated"}, {"message", successMessage}};
        if (printer) result["printer"] = printerJson(printer);
        finishWith({kExitSuccess, "firmware updated on " + name + ": " + successMessage, result});
    }

    // Main queue: a signal. During the image write and the colour-table step it is held until the step ends.
    void interrupted(int signal) {
        if (ended) return;
        if (ovn::update::criticalUpdateStepsRunning() > 0) {
            if (heldSignal) return;
            heldSignal = signal;
            const std::string step = ovn::update::currentCriticalUpdateStep();
            const bool tables = step.find("colo") != std::string::npos;
            session.progress("stopping", tables ? "stopping after the colour tables are written"
                                                : "stopping after the image is written; the update will finish the "
                                                  "next time the printer is found",
                             {{"signal", Session::signalName(signal)}});
            std::weak_ptr<UpdateRun> weak = weak_from_this();
            ovn::update::setCriticalUpdateStepsEndedHandler([weak, signal] {
                if (auto self = weak.lock()) self->stopNow(signal);
            });
            // The step may have ended before the handler was set.
            if (ovn::update::criticalUpdateStepsRunning() == 0) stopNow(signal);
            return;
        }
        stopNow(signal);
    }

    void stopNow(int signal) {
        if (ended || session.finished()) return;
        ended = true;
        ovn::update::setCriticalUpdateStepsEndedHandler(nullptr);
        auto printer = current.lock();
        int64_t phase = lastPhase;
        if (printer && present)
            phase = printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus).value_or(lastPhase);
        const bool waitingForFirmware =
            printer && printer->printerStatus() == ovn::protocol::stringForDSStatusString(
                                                       std::string(ovn::protocol::kRawStatusFirmwareUpdateMode));
        std::string state;
        switch (phase) {
            case ZVFirmwareUpdateWaiting:
                state = name + " was asked to restart into firmware update mode and waits for its firmware";
                break;
            case ZVFirmwareUpdateRebooting:
                state = name + " has been sent its new firmware; its colour tables are not written yet";
                break;
            case ZVFirmwareUpdateFinished: state = name + " has its new firmware and colour tables"; break;
            default:
                state = waitingForFirmware ? name + " waits for its firmware (firmware update mode)"
                                           : name + " is unchanged (no update step was sent)";
        }
        const bool unfinished = phase == ZVFirmwareUpdateWaiting || phase == ZVFirmwareUpdateRebooting ||
                                (phase == 0 && waitingForFirmware);
        std::string command;
        if (unfinished) {
            command = "ovnctl";
            for (const auto& product : session.options().acceptProducts) command += " --accept-product " + shellWord(product);
            if (serial && !serial->empty()) command += " --serial " + shellWord(*serial);
            command += " update-firmware";
        }
        if (phase == ZVFirmwareUpdateWaiting || phase == ZVFirmwareUpdateRebooting) {
            ovn::update::UpdateHistoryEntry entry;
            entry.model = model;
            entry.serial = serial;
            if (key.size() == 16) entry.usbLocation = "0x" + key.substr(8);
            entry.from = from;
            entry.to = to;
            entry.result = "interrupted";
            entry.durationSeconds = ovn::update::nowSeconds() - startedAt;
            entry.program = "ovnctl";
            std::string error;
            if (!ovn::update::appendUpdateHistory(entry, &error))
                session.progress("warning", "the update history could not be written: " + error);
        }
        std::string message = "interrupted by " + Session::signalName(signal) + ": " + state;
        if (!command.empty()) message += "; to finish the update run: " + command;
        session.finish(kExitSignalBase + signal, message,
                       {{"printer", name},
                        {"printerState", state},
                        {"updatePhase", phase},
                        {"finishCommand", command.empty() ? nlohmann::json(nullptr) : nlohmann::json(command)}});
    }

    // Main queue: a printer was listed or unlisted, or one of its watched properties changed.
    void printerEvent(const ZVPrinters::PrinterPtr& printer, const std::string& event, const ovn::Value& value) {
        if (ended || session.finished() || printer->keyUSBdevice() != key) return;
        const auto now = Clock::now();
        if (event == "removed") {
            if (printer != current.lock() || !present) return;
            reportPhase(printer, now);
            present = false;
            goneSince = now;
            lastProgress = now;
            session.progress("restarting", name + " left the USB bus");
            return;
        }
        if (event == "added") {
            current = printer;
            present = true;
            lastProgress = now;
            session.progress("back", name + " is back on the USB bus");
        }
        if (printer != current.lock()) return;
        // The status as it was at its change (it may have changed again since).
        auto status = event == QELMOR_ZVPrinterStatus ? ovn::valueAsString(value) : printer->printerStatus();
        if (status != lastStatus) {
            lastStatus = status;
            lastProgress = now;
            session.progress("status", status.value_or(""));
            if (status == std::string(kWritingStatus) && !writeStarted) imageWriteStarted(printer);
        }
        reportPhase(printer, now);
    }

    void reportPhase(const ZVPrinters::PrinterPtr& printer, Clock::time_point now) {
        // The offered version is recorded on the main queue after the first ask.
        if (!to) to = printer->newFirmwareVersion();
        auto phase = printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus).value_or(0);
        if (phase != lastPhase) {
            lastPhase = phase;
            lastProgress = now;
            session.progress("phase", phaseName(phase), {{"updatePhase", phase}});
        }
    }

    // Every 100 ms: the time limits.
    void tick() {
        if (ended) return;
        const auto now = Clock::now();
        if (successSince) return reportSuccessWhenSettled();
        if (following) followEnded(now);
        if (ended) return;
        if (!present) {
            if (now - goneSince >= session.timeout())
                fail(kExitNoPrinter, name + " did not come back within " + secondsText(session));
            return;
        }
        if (!awaitingAnswer && now - lastProgress >= session.timeout())
            fail(kExitFailed, "the update of " + name + " made no progress for " + secondsText(session));
    }

    // The image goes out in one bulk transfer, whose progress the USB layer does not report: its start and
    // its end are reported, with its size.
    void imageWriteStarted(const ZVPrinters::PrinterPtr& printer) {
        writeStarted = true;
        session.progress("writing-image", std::to_string(imageBytes) + " bytes",
                         {{"bytesWritten", 0}, {"bytesTotal", imageBytes}});
        auto queue = printer->printerCommandQueue();
        if (!queue) return;
        std::weak_ptr<UpdateRun> weak = weak_from_this();
        std::weak_ptr<ZVUSBPrinterOVN> weakPrinter = printer;
        // Behind the upload step on the printer's queue: runs once the image write has returned.
        queue->async([weak, weakPrinter] {
            auto p = weakPrinter.lock();
            const bool ok = p && p->writeStatus() == kIOReturnSuccess;
            ovn::DispatchQueue::main()->async([weak, ok] {
                auto self = weak.lock();
                if (!self || self->ended || self->session.finished()) return;
                if (ok)
                    self->session.progress("image-written", std::to_string(self->imageBytes) + " bytes",
                                           {{"bytesWritten", self->imageBytes}, {"bytesTotal", self->imageBytes}});
                else
                    self->session.progress("image-write-failed", "the printer did not take the whole image");
            });
        });
    }
};

}  // namespace

void runUpdateFirmware(Session& session, PrinterWatch& watch) {
    auto presenter = std::dynamic_pointer_cast<CliAlertPresenter>(ovn::AlertPresenter::shared());
    if (!presenter) {
        session.finish(kExitFailed, "no way to ask the user");
        return;
    }
    forEachTargetPrinter(session, watch, [&session, &watch, presenter](const ZVPrinters::PrinterPtr& printer,
                                                                       OutcomeHandler done) {
        std::make_shared<UpdateRun>(session, watch, presenter, std::move(done))->start(printer);
    });
}

}  // namespace ovnctl
