// ovnctl reset-counter: resets one media counter on each printer of the command, checked by reading it back.
#include "cli/CliSession.h"

namespace ovnctl {

void runResetCounter(Session& session, PrinterWatch& watch) {
    forEachTargetPrinter(session, watch, [&session](const ZVPrinters::PrinterPtr& printer, OutcomeHandler done) {
        const char letter = session.options().counter;
        const std::string counter = std::string("counter ") + letter;
        session.progress("resetting", counter + " of " + shortName(printer));
        printer->resetCounter(letter, [printer, letter, counter, done](IOReturn result, const std::string& reason) {
            if (result != kIOReturnSuccess) {
                done({kExitFailed, counter + " of " + shortName(printer) + " was not reset: " + reason,
                      {{"result", "failed"}, {"counter", std::string(1, letter)}}});
                return;
            }
            done({kExitSuccess, counter + " reset on " + shortName(printer),
                  {{"result", "reset"}, {"counter", std::string(1, letter)}, {"keyUSBdevice", printer->keyUSBdevice()}}});
        });
    });
}

}  // namespace ovnctl
