// ovnctl iserial: switches the USB serial-number setting on each printer of the command.
#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"

namespace ovnctl {

void runISerial(Session& session, PrinterWatch& watch) {
    auto presenter = std::dynamic_pointer_cast<CliAlertPresenter>(ovn::AlertPresenter::shared());
    forEachTargetPrinter(session, watch, [&session, presenter](const ZVPrinters::PrinterPtr& printer,
                                                               OutcomeHandler done) {
        const bool on = session.options().iSerialOn;
        const std::string setting = std::string("USB iSerial setting ") + (on ? "on" : "off");
        auto outcome = [printer, setting](const std::string& result) {
            return PrinterOutcome{kExitSuccess,
                                  setting + " for " + shortName(printer) + (result == "unchanged" ? " (already set)" : ""),
                                  {{"result", result},
                                   {"usbISerial", printer->usbISerial()},
                                   {"usbISerialString", printer->usbISerialString()},
                                   {"keyUSBdevice", printer->keyUSBdevice()}}};
        };
        if (!printer->hasISerialSupport()) {
            done({kExitFailed, "the USB iSerial setting is not available on " + shortName(printer)});
            return;
        }
        if (printer->usbISerial() == on) {
            done(outcome("unchanged"));
            return;
        }
        if (presenter) {
            presenter->onShown = [printer, done](const ovn::AlertRequest& request) {
                if (request.title.find("Unavailable. (Busy)") != std::string::npos) {
                    done({kExitFailed, shortName(printer) + " is busy (another application is using it)"});
                    return false;
                }
                return true;
            };
        }
        session.progress("setting", setting + " for " + shortName(printer));
        printer->setUsbISerial(on);
        auto queue = printer->printerCommandQueue();
        // Two hops on the printer's queue: behind the write and read-back, then behind the close that follows
        // them; then the main queue, behind the read-back's reply.
        auto check = [&session, printer, on, outcome, done] {
            ovn::DispatchQueue::main()->async([&session, printer, on, outcome, done] {
                if (printer->usbISerial() != on) {
                    done({kExitFailed, shortName(printer) + " did not take the USB iSerial setting"});
                    return;
                }
                if (!session.options().json)
                    session.progress("note", "power-cycle " + shortName(printer) + " to complete the change");
                done(outcome("changed"));
            });
        };
        if (!queue) {
            check();
            return;
        }
        queue->async([queue, check] { queue->async(check); });
    });
}

}  // namespace ovnctl
