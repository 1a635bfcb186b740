// ovnctl reset-counter: resets one media counter.
#include <cstdio>
#include <map>

#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

using Clock = std::chrono::steady_clock;

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

}  // namespace ovnctl
