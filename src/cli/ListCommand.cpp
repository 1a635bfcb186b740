// ovnctl list: the attached printers, as a table or JSON.
#include <cstdio>
#include <map>

#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

using Clock = std::chrono::steady_clock;

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

}  // namespace ovnctl
