// ovnctl update-firmware: the whole update of one printer, through both restarts.
#include <cstdio>
#include <map>

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

struct UpdateRun : std::enable_shared_from_this<UpdateRun> {
    UpdateRun(Session& s, PrinterWatch& w, std::shared_ptr<CliAlertPresenter> p)
        : session(s), watch(w), presenter(std::move(p)) {}

    Session& session;
    PrinterWatch& watch;
    std::shared_ptr<CliAlertPresenter> presenter;
    std::string key;
    std::weak_ptr<ZVUSBPrinterOVN> current;
    bool present = true;
    Clock::time_point goneSince;
    Clock::time_point lastProgress = Clock::now();
    std::optional<std::string> lastStatus;
    int64_t lastPhase = 0;
    size_t imageBytes = 0;
    bool writeStarted = false;
    bool awaitingAnswer = false;

    void start(const ZVPrinters::PrinterPtr& printer) {
        key = printer->keyUSBdevice();
        current = printer;
        lastStatus = printer->printerStatus();
        if (auto image = printer->firmwareBlob()) imageBytes = image->payload().size();
        session.progress("printer", shortName(printer),
                         {{"keyUSBdevice", key},
                          {"firmwareVersion", printer->firmwareVersion().value_or("")}});
        auto self = shared_from_this();
        presenter->setMode(session.options().yes ? CliAlertPresenter::Mode::AssumeYes
                                                 : CliAlertPresenter::Mode::Interactive);
        presenter->onShown = [self](const ovn::AlertRequest& request) { return self->alertShown(request); };
        presenter->onAnswered = [self](const ovn::AlertRequest& request, const std::string& button) {
            self->alertAnswered(request, button);
        };
        ovn::setTerminationHandler([self] {
            self->session.finish(kExitFailed, "firmware update refused (\"Quit\")");
        });
        watch.onEvent = [self](const ZVPrinters::PrinterPtr& p, const std::string& event, const ovn::Value& value) {
            self->printerEvent(p, event, value);
        };
        session.every(std::chrono::milliseconds(100), [self] { self->tick(); });
        session.progress("checking", "firmware files");
        printer->updateFirmware();
    }

    bool alertShown(const ovn::AlertRequest& request) {
        lastProgress = Clock::now();
        if (request.title.rfind(kFileCorruptionPrefix, 0) == 0 && request.buttons.size() == 1 &&
            request.buttons[0] == "Quit") {
            // Its only button ends the program.
            session.finish(kExitFailed, oneLine(request.title + ": " + request.message));
            return false;
        }
        awaitingAnswer = true;
        return true;
    }

    void alertAnswered(const ovn::AlertRequest& request, const std::string& button) {
        awaitingAnswer = false;
        lastProgress = Clock::now();
        const std::string& title = request.title;
        if (title == kSuccessTitle) {
            auto printer = current.lock();
            if (session.options().json) {
                nlohmann::json result = {{"result", "updated"}, {"message", request.message}};
                if (printer) result["printer"] = printerJson(printer);
                session.resultJson(result);
            } else {
                session.result("firmware updated: " + request.message);
            }
            session.finish(kExitSuccess);
            return;
        }
        if (title == kProblemTitle || title == kNotNeededTitle || title == kBadFileTitle ||
            title.rfind(kFileCorruptionPrefix, 0) == 0) {
            session.finish(kExitFailed, oneLine(title + ": " + request.message));
            return;
        }
        if (button == "Cancel" || button == "Ignore") {
            session.finish(kExitFailed, "firmware update cancelled at \"" + oneLine(title) + "\"");
            return;
        }
    }

    // Main queue: a printer was listed or unlisted, or one of its watched properties changed.
    void printerEvent(const ZVPrinters::PrinterPtr& printer, const std::string& event, const ovn::Value& value) {
        if (session.finished() || printer->keyUSBdevice() != key) return;
        const auto now = Clock::now();
        if (event == "removed") {
            if (printer != current.lock() || !present) return;
            reportPhase(printer, now);
            present = false;
            goneSince = now;
            lastProgress = now;
            session.progress("restarting", "the printer left the USB bus");
            return;
        }
        if (event == "added") {
            current = printer;
            present = true;
            lastProgress = now;
            session.progress("back", "the printer is back on the USB bus");
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
        auto phase = printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus).value_or(0);
        if (phase != lastPhase) {
            lastPhase = phase;
            lastProgress = now;
            session.progress("phase", phaseName(phase), {{"updatePhase", phase}});
        }
    }

    // Every 100 ms: the time limits.
    void tick() {
        const auto now = Clock::now();
        if (!present) {
            if (now - goneSince >= session.timeout())
                session.finish(kExitNoPrinter, "the printer did not come back within " + secondsText(session));
            return;
        }
        if (!awaitingAnswer && now - lastProgress >= session.timeout())
            session.finish(kExitFailed, "the update made no progress for " + secondsText(session));
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
                if (!self || self->session.finished()) return;
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
    withTargetPrinter(session, watch, [&session, &watch, presenter](ZVPrinters::PrinterPtr printer) {
        auto run = std::make_shared<UpdateRun>(session, watch, presenter);
        run->start(printer);
    });
}

}  // namespace ovnctl
