#include "cli/CliSession.h"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "Classes/OVNProtocol.h"
#include "platform/DispatchQueue.h"

namespace ovnctl {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onSignal(int) { gInterrupted = 1; }

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

bool Session::interrupted() { return gInterrupted != 0; }

void Session::installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int Session::run(const std::function<void()>& start) {
    ovn::DispatchQueue::main()->async(start);
    // The interruption is noticed within a tenth of a second.
    every(std::chrono::milliseconds(100), [this] {
        if (interrupted() && !finished_) {
            if (options_.command == "watch")
                finish(kExitSuccess);
            else
                finish(kExitFailed, "interrupted");
        }
    });
    ovn::MainRunLoop::runUntil([this] { return finished_; }, std::chrono::hours(24 * 365));
    return exitStatus_;
}

void Session::finish(int status, const std::string& errorMessage) {
    if (finished_) return;
    finished_ = true;
    exitStatus_ = status;
    error_ = errorMessage;
    if (!errorMessage.empty()) reportError(options_.json, status, errorMessage);
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

void Session::result(const std::string& text) const { writeLine(stdout, text); }

void Session::resultJson(const nlohmann::json& value) const {
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

void Session::reportError(bool json, int status, const std::string& message) {
    if (json) {
        nlohmann::json error = {{"error", message}, {"exitStatus", status}};
        writeLine(stdout, error.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        writeLine(stderr, "ovnctl: error: " + message);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Printers as JSON and as a table

namespace {

nlohmann::json jsonOf(const ovn::Value& value) {
    if (auto text = std::get_if<std::string>(&value)) return *text;
    if (auto number = std::get_if<int64_t>(&value)) return *number;
    if (auto flag = std::get_if<bool>(&value)) return *flag;
    if (auto list = std::get_if<std::vector<std::string>>(&value)) return *list;
    return nullptr;
}

const char* const kListedKeys[] = {
    "manufacturer",    "model",  "serialNumberUSB", "printerSerialNumber", "firmwareVersion", "newFirmwareVersion",
    "lifetimeCounter", "usbISerial", "usbISerialString", "printerStatus", "status", "idVendor",
    "idProduct",       "keyUSBdevice", "inFirmwareUpdate",
};

std::string textOf(const ZVPrinters::PrinterPtr& printer, const std::string& key) {
    auto text = ovn::valueAsString(printer->valueForKey(key));
    return text && !text->empty() ? *text : "-";
}

}  // namespace

nlohmann::json printerJson(const ZVPrinters::PrinterPtr& printer) {
    nlohmann::json object = nlohmann::json::object();
    for (const char* key : kListedKeys) object[key] = jsonOf(printer->valueForKey(key));
    // Only the colour-table values this printer has reported.
    for (const char* key : ovn::protocol::colorTableKeys()) {
        if (auto value = printer->colorTableValue(key)) object[key] = *value;
    }
    return object;
}

std::string shortName(const ZVPrinters::PrinterPtr& printer) {
    std::string serial = printer->printerSerialNumber().value_or(printer->serialNumberUSB().value_or(""));
    std::string name = printer->model().value_or("printer");
    if (!serial.empty()) name += " " + serial;
    return name + " (" + printer->keyUSBdevice() + ")";
}

std::string printerTable(const std::vector<ZVPrinters::PrinterPtr>& printers) {
    const std::vector<std::string> headers = {"SERIAL", "MODEL", "FIRMWARE", "OFFERED", "LIFETIME",
                                              "ISERIAL", "STATUS", "USB DEVICE"};
    std::vector<std::vector<std::string>> rows;
    for (const auto& p : printers) {
        rows.push_back({textOf(p, "printerSerialNumber"), textOf(p, "model"), textOf(p, "firmwareVersion"),
                        textOf(p, "newFirmwareVersion"), textOf(p, "lifetimeCounter"), textOf(p, "usbISerialString"),
                        textOf(p, "printerStatus"), p->keyUSBdevice()});
    }
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

}  // namespace ovnctl
