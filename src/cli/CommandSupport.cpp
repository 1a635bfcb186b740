// What the commands of ovnctl share: finding the command's printer and wording its failures.
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
    if (session.options().serial && session.expectedPrinterCount())
        return "no printer with serial number \"" + *session.options().serial + "\" among the " +
               std::to_string(*session.expectedPrinterCount()) + " printer(s) found";
    if (session.options().serial)
        return "no printer with serial number \"" + *session.options().serial + "\" within " + secondsText(session);
    return "no supported printer found within " + secondsText(session);
}

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

}  // namespace ovnctl
