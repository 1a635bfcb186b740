#include "cli/CliSession.h"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "Classes/OVNProtocol.h"
#include "platform/DispatchQueue.h"

namespace ovnctl {

namespace {

// The first signal caught; the handler does nothing else.
volatile std::sig_atomic_t gSignal = 0;

extern "C" void onSignal(int signal) {
    if (gSignal == 0) gSignal = signal;
}

void writeLine(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Session

Session::Session(Options options, std::shared_ptr<ZVPrinters> registry)
    : options_(std::move(options)), registry_(std::move(registry)) {}

std::chrono::milliseconds Session::timeout() const {
    return std::chrono::milliseconds(static_cast<int64_t>(options_.timeoutSeconds * 1000.0));
}

bool Session::interrupted() { return gSignal != 0; }
int Session::pendingSignal() { return gSignal; }

std::string Session::signalName(int signal) {
    switch (signal) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "signal " + std::to_string(signal);
    }
}

void Session::installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

int Session::run(const std::function<void()>& start) {
    ovn::DispatchQueue::main()->async(start);
    // The signal is noticed within a tenth of a second, and handled here, on the main queue.
    every(std::chrono::milliseconds(100), [this] {
        const int signal = pendingSignal();
        if (signal == 0 || signalSeen_ != 0 || finished_) return;
        signalSeen_ = signal;
        if (interruptionHandler_) {
            interruptionHandler_(signal);
        } else if (options_.command == "watch") {
            finish(kExitSuccess);  // the way watch is meant to end
        } else {
            finish(kExitSignalBase + signal, "interrupted by " + signalName(signal));
        }
    });
    ovn::MainRunLoop::runUntil([this] { return finished_; }, std::chrono::hours(24 * 365));
    return exitStatus_;
}

void Session::finish(int status, const std::string& errorMessage, const nlohmann::json& extra) {
    if (finished_) return;
    finished_ = true;
    exitStatus_ = status;
    error_ = errorMessage;
    if (!errorMessage.empty()) reportError(options_.json, status, errorMessage, extra);
    // run() notices after the block that called this.
}

void Session::every(std::chrono::milliseconds interval, std::function<void()> block) {
    auto shared = std::make_shared<std::function<void()>>(std::move(block));
    ovn::DispatchQueue::main()->asyncAfter(interval, [this, shared, interval] { tick(shared, interval); });
}

void Session::tick(std::shared_ptr<std::function<void()>> block, std::chrono::milliseconds interval) {
    if (finished_) return;
    (*block)();
    if (finished_) return;
    ovn::DispatchQueue::main()->asyncAfter(interval, [this, block, interval] { tick(block, interval); });
}

void Session::result(const std::string& text) const {
    if (!finished_) writeLine(stdout, text);
}

void Session::resultJson(const nlohmann::json& value) const {
    if (finished_) return;
    writeLine(stdout, value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

void Session::progress(const std::string& phase, const std::string& detail, const nlohmann::json& extra) const {
    if (options_.json) {
        nlohmann::json line = extra.is_object() ? extra : nlohmann::json::object();
        line["phase"] = phase;
        if (!detail.empty()) line["detail"] = detail;
        writeLine(stderr, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        writeLine(stderr, detail.empty() ? phase : phase + ": " + detail);
    }
}

void Session::reportError(bool json, int status, const std::string& message, const nlohmann::json& extra) {
    if (json) {
        nlohmann::json error = extra.is_object() ? extra : nlohmann::json::object();
        error["error"] = message;
        error["exitStatus"] = status;
        writeLine(stdout, error.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        writeLine(stderr, "ovnctl: error: " + message);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Printers as JSON and as a table

namespace {

// A text the printer object uses for "not known" reads as null.
bool unknownText(const std::string& text) {
    return text.empty() || text == "(null)" || text == "NULL" || text == "<NULL>";
}

nlohmann::json jsonOf(const ovn::Value& value) {
    if (auto text = std::get_if<std::string>(&value)) return unknownText(*text) ? nlohmann::json(nullptr) : nlohmann::json(*text);
    if (auto number = std::get_if<int64_t>(&value)) return *number;
    if (auto flag = std::get_if<bool>(&value)) return *flag;
    if (auto list = std::get_if<std::vector<std::string>>(&value)) return *list;
    return nullptr;
}

const char* const kListedKeys[] = {
    "manufacturer",    "model",  "serialNumberUSB", "printerSerialNumber", "firmwareVersion", "newFirmwareVersion",
    "lifetimeCounter", "usbISerial", "usbISerialString", "printerStatus", "status", "keyUSBdevice",
    "inFirmwareUpdate",
};

std::string textOf(const ZVPrinters::PrinterPtr& printer, const std::string& key) {
    auto text = ovn::valueAsString(printer->valueForKey(key));
    return text && !unknownText(*text) ? *text : "-";
}

std::string hexID(uint16_t id) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", id);
    return buf;
}

}  // namespace

nlohmann::json printerJson(const ZVPrinters::PrinterPtr& printer) {
    nlohmann::json object = nlohmann::json::object();
    for (const char* key : kListedKeys) object[key] = jsonOf(printer->valueForKey(key));
    object["idVendor"] = printer->idVendorValue();
    object["idProduct"] = printer->idProductValue();
    object["usbVendorId"] = hexID(printer->idVendorValue());
    object["usbProductId"] = hexID(printer->idProductValue());
    const auto phase = pendingUpdatePhase(printer);
    object["updatePhase"] = phase ? nlohmann::json(*phase) : nlohmann::json(nullptr);
    object["pendingUpdate"] = phase ? nlohmann::json(pendingUpdateText(*phase)) : nlohmann::json(nullptr);
    // Only the colour-table values this printer has reported.
    for (const char* key : ovn::protocol::colorTableKeys()) {
        if (auto value = printer->colorTableValue(key)) object[key] = *value;
    }
    return object;
}

std::optional<int64_t> pendingUpdatePhase(const ZVPrinters::PrinterPtr& printer) {
    auto phase = printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus);
    if (phase == ZVFirmwareUpdateWaiting || phase == ZVFirmwareUpdateRebooting) return phase;
    return std::nullopt;
}

std::string pendingUpdateText(int64_t phase) {
    return phase == ZVFirmwareUpdateWaiting ? "firmware image to be sent" : "colour tables to be written";
}

std::string shortName(const ZVPrinters::PrinterPtr& printer) {
    std::string serial = printer->printerSerialNumber().value_or(printer->serialNumberUSB().value_or(""));
    std::string name = printer->model().value_or("printer");
    if (!unknownText(serial)) name += " " + serial;
    return name + " (" + printer->keyUSBdevice() + ")";
}

std::string textTable(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& h : headers) widths.push_back(h.size());
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    auto line = [&widths](const std::vector<std::string>& cells) {
        std::string out;
        for (size_t i = 0; i < cells.size(); ++i) {
            out += cells[i];
            if (i + 1 < cells.size()) out += std::string(widths[i] - cells[i].size() + 2, ' ');
        }
        return out;
    };
    std::string table = line(headers);
    for (const auto& row : rows) table += "\n" + line(row);
    return table;
}

std::string printerTable(const std::vector<ZVPrinters::PrinterPtr>& printers) {
    const std::vector<std::string> headers = {"SERIAL", "MODEL", "FIRMWARE", "OFFERED", "LIFETIME",
                                              "ISERIAL", "STATUS", "USB DEVICE", "PENDING UPDATE"};
    std::vector<std::vector<std::string>> rows;
    for (const auto& p : printers) {
        rows.push_back({textOf(p, "printerSerialNumber"), textOf(p, "model"), textOf(p, "firmwareVersion"),
                        textOf(p, "newFirmwareVersion"), textOf(p, "lifetimeCounter"), textOf(p, "usbISerialString"),
                        textOf(p, "printerStatus"), p->keyUSBdevice(),
                        pendingUpdatePhase(p) ? pendingUpdateText(*pendingUpdatePhase(p)) : "-"});
    }
    return textTable(headers, rows);
}

}  // namespace ovnctl
