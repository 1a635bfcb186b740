// ovnctl iserial: switches the USB serial-number setting.
#include <cstdio>
#include <map>

#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

using Clock = std::chrono::steady_clock;

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

}  // namespace ovnctl
