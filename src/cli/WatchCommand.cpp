// ovnctl watch: live status of every printer until interrupted.
#include <map>
#include <set>

#include "cli/CliSession.h"

namespace ovnctl {

void runWatch(Session& session, PrinterWatch& watch) {
    // The last status shown per printer (a status is shown when it changes), and the printers listed but not yet
    // probed: their "added" line waits for the probe, so that it carries the serial number.
    auto shown = std::make_shared<std::map<const ZVUSBPrinterOVN*, std::string>>();
    auto waiting = std::make_shared<std::map<const ZVUSBPrinterOVN*, std::weak_ptr<ZVUSBPrinterOVN>>>();
    auto line = [&session](const ZVPrinters::PrinterPtr& printer, const std::string& kind, const std::string& status) {
        if (session.options().json) {
            auto serial = printer->printerSerialNumber();
            nlohmann::json line = {{"event", kind},
                                   {"keyUSBdevice", printer->keyUSBdevice()},
                                   {"model", printer->model() ? nlohmann::json(*printer->model()) : nullptr},
                                   {"printerSerialNumber", serial && *serial != "NULL" ? nlohmann::json(*serial) : nullptr},
                                   {"printerStatus", status.empty() ? nlohmann::json(nullptr) : nlohmann::json(status)}};
            session.result(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        } else {
            session.result(printer->keyUSBdevice() + "  " + kind + "  " + shortName(printer) +
                           (kind != "removed" && !status.empty() ? ": " + status : ""));
        }
    };
    auto announce = [line, shown](const ZVPrinters::PrinterPtr& printer) {
        const std::string status = printer->printerStatus().value_or("");
        line(printer, "added", status);
        (*shown)[printer.get()] = status;
    };
    watch.onEvent = [line, shown, waiting](const ZVPrinters::PrinterPtr& printer, const std::string& event,
                                           const ovn::Value& value) {
        if (event == "added") {
            (*waiting)[printer.get()] = printer;
        } else if (event == "removed") {
            if (!waiting->erase(printer.get())) line(printer, "removed", printer->printerStatus().value_or(""));
            shown->erase(printer.get());
        } else if (event == QELMOR_ZVPrinterStatus && !waiting->count(printer.get())) {
            const std::string status = ovn::valueAsString(value).value_or("");
            auto it = shown->find(printer.get());
            if (it != shown->end() && it->second == status) return;
            (*shown)[printer.get()] = status;
            line(printer, "status", status);
        }
    };
    for (const auto& p : session.registry()->printers()) (*waiting)[p.get()] = p;
    // A printer is announced once probed, with the status it has then.
    session.every(std::chrono::milliseconds(100), [&watch, waiting, announce] {
        for (auto it = waiting->begin(); it != waiting->end();) {
            auto printer = it->second.lock();
            if (printer && !watch.isProbed(printer)) {
                ++it;
                continue;
            }
            it = waiting->erase(it);
            if (printer) announce(printer);
        }
    });
    // Nothing else asks the printers for their status: ask every two seconds (not during an update, whose own
    // poll runs then).
    session.every(std::chrono::milliseconds(2000), [&session] {
        for (const auto& p : session.registry()->printers())
            if (!p->inFirmwareUpdate()) p->updatePrinterStatus();
    });
}

}  // namespace ovnctl
