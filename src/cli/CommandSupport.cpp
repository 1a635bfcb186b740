// What the commands of ovnctl share: finding the command's printer and wording its failures.
#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

using Clock = std::chrono::steady_clock;

std::string secondsText(const Session& session) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", session.options().timeoutSeconds);
    return buf;
}

std::string noPrinterMessage(const Session& session) {
    if (session.options().serials.size() > 1) {
        std::string names;
        for (const auto& s : session.options().serials) names += (names.empty() ? "\"" : ", \"") + s + "\"";
        return "no printer with any of the serial numbers " + names;
    }
    if (session.options().serial && session.expectedPrinterCount())
        return "no printer with serial number \"" + *session.options().serial + "\" among the " +
               std::to_string(*session.expectedPrinterCount()) + " printer(s) found";
    if (session.options().serial)
        return "no printer with serial number \"" + *session.options().serial + "\" within " + secondsText(session);
    return "no supported printer found within " + secondsText(session);
}

bool severalTargets(const Options& options) { return options.all || options.serials.size() > 1; }

namespace {

struct Targets {
    std::vector<ZVPrinters::PrinterPtr> printers;
    std::vector<std::string> missing;  // --serial values that match no listed printer
};

Targets findTargets(const Session& session, const PrinterWatch& watch) {
    Targets targets;
    const auto listed = session.registry()->printers();
    const Options& options = session.options();
    if (options.all) {
        targets.printers = listed;
    } else if (options.serials.empty()) {
        if (auto first = watch.matchingPrinter()) targets.printers.push_back(first);
    } else {
        for (const auto& serial : options.serials) {
            ZVPrinters::PrinterPtr found;
            for (const auto& p : listed)
                if (PrinterWatch::hasSerial(p, serial)) {
                    found = p;
                    break;
                }
            if (!found)
                targets.missing.push_back(serial);
            else if (std::find(targets.printers.begin(), targets.printers.end(), found) == targets.printers.end())
                targets.printers.push_back(found);
        }
    }
    return targets;
}

// Runs the job on each printer in turn and reports each outcome; ends the session after the last.
struct JobRun : std::enable_shared_from_this<JobRun> {
    Session& session;
    PrinterJob job;
    Targets targets;
    size_t next = 0;
    nlohmann::json results = nlohmann::json::array();
    bool anyFailed = false;
    size_t total = 0, failures = 0;

    JobRun(Session& s, PrinterJob j, Targets t) : session(s), job(std::move(j)), targets(std::move(t)) {}

    void start() {
        for (const auto& serial : targets.missing)
            report(nullptr, {kExitNoPrinter, "no printer with serial number \"" + serial + "\"", {{"serial", serial}}});
        runNext();
    }

    void runNext() {
        if (session.finished()) return;
        if (next == targets.printers.size()) return end();
        auto printer = targets.printers[next++];
        const auto listed = session.registry()->printers();
        if (std::find(listed.begin(), listed.end(), printer) == listed.end()) {
            report(printer, {kExitFailed, shortName(printer) + " left the USB bus"});
            return runNext();
        }
        auto self = shared_from_this();
        auto called = std::make_shared<bool>(false);
        job(printer, [self, printer, called](PrinterOutcome outcome) {
            if (*called) return;
            *called = true;
            self->report(printer, std::move(outcome));
            // The next printer starts on a fresh turn of the main queue, after the last one's work.
            ovn::DispatchQueue::main()->async([self] { self->runNext(); });
        });
    }

    void report(const ZVPrinters::PrinterPtr& printer, PrinterOutcome outcome) {
        const bool ok = outcome.status == kExitSuccess;
        anyFailed = anyFailed || !ok;
        ++total;
        failures += ok ? 0 : 1;
        if (!severalTargets(session.options())) {
            if (!ok) {
                session.finish(outcome.status, outcome.line);
            } else if (session.options().json) {
                session.resultJson(outcome.json);
            } else {
                session.result(outcome.line);
            }
            return;
        }
        nlohmann::json object = outcome.json.is_object() ? outcome.json : nlohmann::json::object();
        if (printer) {
            object["printerName"] = shortName(printer);
            object["keyUSBdevice"] = printer->keyUSBdevice();
        }
        object["exitStatus"] = outcome.status;
        if (!ok) object["error"] = outcome.line;
        if (session.options().json) {
            results.push_back(object);
            session.progress("printer-result", "", object);
        } else {
            session.result((ok ? "" : "failed: ") + outcome.line);
        }
    }

    void end() {
        if (!severalTargets(session.options()) || !anyFailed) {
            if (severalTargets(session.options()) && session.options().json) session.resultJson(results);
            session.finish(kExitSuccess);
            return;
        }
        if (session.options().json) {
            session.resultJson(results);
            session.finish(kExitFailed);
        } else {
            session.finish(kExitFailed, std::to_string(failures) + " of " + std::to_string(total) + " printers failed");
        }
    }
};

}  // namespace

void forEachTargetPrinter(Session& session, PrinterWatch& watch, PrinterJob job) {
    const auto deadline = Clock::now() + session.timeout();
    auto done = std::make_shared<bool>(false);
    session.every(std::chrono::milliseconds(100), [&session, &watch, job, deadline, done] {
        if (*done) return;
        const bool complete = watch.allAttachedListed() && watch.allListedProbed();
        Targets targets = findTargets(session, watch);
        // Every printer there is to be is listed and probed (a simulated run), or the printers asked for are
        // all there; or time is up.
        const auto expected = session.expectedPrinterCount();
        const bool ready = complete && (expected || (!targets.printers.empty() && targets.missing.empty()));
        if (!ready && Clock::now() < deadline) return;
        *done = true;
        if (targets.printers.empty()) {
            session.finish(kExitNoPrinter, expected && *expected == 0 ? "no supported printer found"
                                                                      : noPrinterMessage(session));
            return;
        }
        if (!complete) session.progress("warning", "not every printer could be probed within " + secondsText(session));
        std::make_shared<JobRun>(session, job, std::move(targets))->start();
    });
}

std::string openFailure(IOReturn result) {
    if (result == kIOReturnExclusiveAccess) return "the printer is busy (another application is using it)";
    return std::string("cannot open the printer: ") + strForIOReturn(result);
}

}  // namespace ovnctl
