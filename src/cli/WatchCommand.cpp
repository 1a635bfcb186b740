// ovnctl watch: live status of every printer until interrupted.
#include <cstdio>
#include <map>

#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"

namespace ovnctl {

using Clock = std::chrono::steady_clock;

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
