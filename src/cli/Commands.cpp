// The commands of ovnctl. Each runs on the main queue, follows the registry and the printer's observable
// properties, and ends the session with its exit status.
#include <cstdio>
#include <map>

#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

namespace {

using Clock = std::chrono::steady_clock;

std::string secondsText(const Session& session) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", session.options().timeoutSeconds);
    return buf;
}

std::string noPrinterMessage(const Session& session) {
    if (session.options().serial && session.expectedPrinterCount())
        return "no printer with serial number \"" + *session.options().serial + "\" among the " +
               std::to_string(*session.expectedPrinterCount()) + " printer(s) found";
    if (session.options().serial)
        return "no printer with serial number \"" + *session.options().serial + "\" within " + secondsText(session);
    return "no supported printer found within " + secondsText(session);
}

// Waits until every attached printer is listed and probed and the command's printer is among them; then
// runs `then` with it. Without a matching printer by the deadline (or, when every printer there is to be is
// already probed, at once) the session ends with status 3.
void withTargetPrinter(Session& session, PrinterWatch& watch, std::function<void(ZVPrinters::PrinterPtr)> then) {
    const auto deadline = Clock::now() + session.timeout();
    auto done = std::make_shared<bool>(false);
    session.every(std::chrono::milliseconds(100), [&session, &watch, then, deadline, done] {
        if (*done) return;
        const bool complete = watch.allAttachedListed() && watch.allListedProbed();
        if (complete) {
            if (auto printer = watch.matchingPrinter()) {
                *done = true;
                then(printer);
                return;
            }
            if (auto expected = session.expectedPrinterCount()) {
                // Every described printer is there and probed: none will match later.
                *done = true;
                session.finish(kExitNoPrinter, *expected ? noPrinterMessage(session) : "no supported printer found");
                return;
            }
        }
        if (Clock::now() >= deadline) {
            *done = true;
            session.finish(kExitNoPrinter, noPrinterMessage(session));
        }
    });
}

std::string openFailure(IOReturn result) {
    if (result == kIOReturnExclusiveAccess) return "the printer is busy (another application is using it)";
    return std::string("cannot open the printer: ") + strForIOReturn(result);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// list

void runList(Session& session, PrinterWatch& watch) {
    const auto deadline = Clock::now() + session.timeout();
    auto done = std::make_shared<bool>(false);
    session.every(std::chrono::milliseconds(100), [&session, &watch, deadline, done] {
        if (*done) return;
        const bool complete = watch.allAttachedListed() && watch.allListedProbed();
        if (!complete && Clock::now() < deadline) return;
        *done = true;
        std::vector<ZVPrinters::PrinterPtr> printers;
        for (const auto& p : session.registry()->printers())
            if (watch.matches(p)) printers.push_back(p);
        if (session.options().serial && printers.empty()) {
            session.finish(kExitNoPrinter, noPrinterMessage(session));
            return;
        }
        if (!complete) session.progress("warning", "not every printer could be probed within " + secondsText(session));
        // The offered firmware version is recorded on the main queue once asked for: ask, then print a turn later.
        for (const auto& p : printers) p->newFirmwareVersion();
        ovn::DispatchQueue::main()->async([&session, printers] {
            if (session.options().json) {
                nlohmann::json array = nlohmann::json::array();
                for (const auto& p : printers) array.push_back(printerJson(p));
                session.resultJson(array);
            } else if (printers.empty()) {
                session.result("no printers");
            } else {
                session.result(printerTable(printers));
            }
            session.finish(kExitSuccess);
        });
    });
}

// ---------------------------------------------------------------------------------------------------------
// update-firmware

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

// ---------------------------------------------------------------------------------------------------------
// reset-counter

void runResetCounter(Session& session, PrinterWatch& watch) {
    withTargetPrinter(session, watch, [&session](ZVPrinters::PrinterPtr printer) {
        const char letter = session.options().counter;
        session.progress("resetting", std::string("counter ") + letter + " of " + shortName(printer));
        printer->openInterface([&session, printer, letter](IOReturn result) {
            // On the printer's command queue.
            if (result != kIOReturnSuccess) {
                ovn::DispatchQueue::main()->async([&session, result] { session.finish(kExitFailed, openFailure(result)); });
                return;
            }
            printer->resetCounter(letter);
            const IOReturn written = printer->writeStatus();
            printer->closeInterface(nullptr);
            ovn::DispatchQueue::main()->async([&session, printer, letter, written] {
                if (written != kIOReturnSuccess) {
                    session.finish(kExitFailed, std::string("the counter reset did not reach the printer: ") +
                                                    strForIOReturn(written));
                    return;
                }
                if (session.options().json)
                    session.resultJson({{"result", "reset"}, {"counter", std::string(1, letter)},
                                        {"keyUSBdevice", printer->keyUSBdevice()}});
                else
                    session.result(std::string("counter ") + letter + " reset on " + shortName(printer));
                session.finish(kExitSuccess);
            });
        });
    });
}

// ---------------------------------------------------------------------------------------------------------
// iserial

void runISerial(Session& session, PrinterWatch& watch) {
    auto presenter = std::dynamic_pointer_cast<CliAlertPresenter>(ovn::AlertPresenter::shared());
    withTargetPrinter(session, watch, [&session, presenter](ZVPrinters::PrinterPtr printer) {
        const bool on = session.options().iSerialOn;
        const char* word = on ? "on" : "off";
        auto report = [&session, printer, word](const std::string& outcome) {
            if (session.options().json)
                session.resultJson({{"result", outcome},
                                    {"usbISerial", printer->usbISerial()},
                                    {"usbISerialString", printer->usbISerialString()},
                                    {"keyUSBdevice", printer->keyUSBdevice()}});
            else
                session.result(std::string("USB iSerial ") + word + " on " + shortName(printer) +
                               (outcome == "unchanged" ? " (already set)" : ""));
        };
        if (!printer->hasISerialSupport()) {
            session.finish(kExitFailed, "the USB iSerial setting is not available on " + shortName(printer));
            return;
        }
        if (printer->usbISerial() == on) {
            report("unchanged");
            session.finish(kExitSuccess);
            return;
        }
        if (presenter) {
            presenter->onShown = [&session](const ovn::AlertRequest& request) {
                if (request.title.find("Unavailable. (Busy)") != std::string::npos) {
                    session.finish(kExitFailed, "the printer is busy (another application is using it)");
                    return false;
                }
                return true;
            };
        }
        session.progress("setting", std::string("USB iSerial ") + word + " on " + shortName(printer));
        printer->setUsbISerial(on);
        auto queue = printer->printerCommandQueue();
        // Two hops on the printer's queue: behind the write and read-back, then behind the close that follows
        // them; then the main queue, behind the read-back's reply.
        auto check = [&session, printer, on, report] {
            ovn::DispatchQueue::main()->async([&session, printer, on, report] {
                if (session.finished()) return;
                if (printer->usbISerial() != on) {
                    session.finish(kExitFailed, "the printer did not take the USB iSerial setting");
                    return;
                }
                report("changed");
                if (!session.options().json)
                    session.progress("note", "power-cycle the printer to complete the change");
                session.finish(kExitSuccess);
            });
        };
        if (!queue) {
            check();
            return;
        }
        queue->async([queue, check] { queue->async(check); });
    });
}

// ---------------------------------------------------------------------------------------------------------
// watch

void runWatch(Session& session, PrinterWatch& watch) {
    // The last status shown per printer: a status is shown when it changes.
    auto shown = std::make_shared<std::map<const ZVUSBPrinterOVN*, std::string>>();
    auto emit = [&session, shown](const ZVPrinters::PrinterPtr& printer, const std::string& event,
                                  const ovn::Value& value) {
        if (event != "added" && event != "removed" && event != QELMOR_ZVPrinterStatus) return;
        const std::string status = event == QELMOR_ZVPrinterStatus ? ovn::valueAsString(value).value_or("")
                                                                   : printer->printerStatus().value_or("");
        if (event == QELMOR_ZVPrinterStatus) {
            auto it = shown->find(printer.get());
            if (it != shown->end() && it->second == status) return;
            (*shown)[printer.get()] = status;
        } else if (event == "removed") {
            shown->erase(printer.get());
        }
        const std::string kind = event == QELMOR_ZVPrinterStatus ? "status" : event;
        if (session.options().json) {
            nlohmann::json line = {{"event", kind},
                                   {"keyUSBdevice", printer->keyUSBdevice()},
                                   {"model", printer->model().value_or("")},
                                   {"printerSerialNumber", printer->printerSerialNumber().value_or("")},
                                   {"printerStatus", status}};
            session.result(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        } else {
            session.result(printer->keyUSBdevice() + "  " + kind + "  " + shortName(printer) +
                           (kind == "status" ? ": " + status : ""));
        }
    };
    watch.onEvent = emit;
    for (const auto& p : session.registry()->printers()) emit(p, "added", ovn::Value{});
    // Nothing else asks the printers for their status: ask every two seconds (not during an update, whose own
    // poll runs then).
    session.every(std::chrono::milliseconds(2000), [&session] {
        for (const auto& p : session.registry()->printers())
            if (!p->inFirmwareUpdate()) p->updatePrinterStatus();
    });
}

}  // namespace ovnctl
