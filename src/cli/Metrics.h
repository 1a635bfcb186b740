// Printer metrics for Prometheus: what `ovnctl metrics` prints and `ovnctl serve` answers.
//
// The printers are read on the main queue (PrinterReader) and turned into plain values (PrinterState); the
// exposition (text format 0.0.4) is made from those values only, so that it can be built on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Classes/UpdateHistory.h"
#include "cli/CliSession.h"

namespace ovnctl::metrics {

// One printer as the exposition shows it. Its series carry the labels serial and model, and usb_location too
// when the serial number is not known.
struct PrinterState {
    std::string serial;
    std::string model;
    std::string firmware;
    std::string usbLocation;  // "0x14100000"
    bool up = false;          // answered its last status query
    bool busy = false;        // held by another program at its last read
    bool inFirmwareUpdate = false;
    bool firmwareUpdateAvailable = false;
    std::optional<int64_t> lifetimePrints;
    std::optional<std::string> status;  // the status text, when known
    std::optional<double> lastUpdateTimestamp;
    std::optional<bool> lastUpdateSucceeded;
};

// The status texts a printer can report, in the order of their numbers: "Idle", "Printing", ..., then
// "Unknown Status", "Firmware Update Mode" and "<NULL>".
const std::vector<std::string>& statusVocabulary();

// A label value with backslash, double quote and line feed escaped.
std::string escapeLabelValue(std::string_view value);

// The whole exposition, ending with the exporter's own scrape duration.
std::string exposition(const std::vector<PrinterState>& printers, double scrapeDurationSeconds);
// The part without the scrape duration (a server adds that per scrape).
std::string printersExposition(const std::vector<PrinterState>& printers);
std::string scrapeDurationExposition(double seconds);

// Writes the text to a temporary file in the same folder, flushes it to disk and renames it over `path`.
// False with a reason naming the file when anything fails; the old file is left as it was.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& contents, std::string* error);

// Reads printers' status and lifetime counter on their command queues, one read at a time per printer,
// opening the interface for the read and closing it after. Main queue only.
class PrinterReader {
public:
    struct Reading {
        bool read = false;     // a read has ended
        bool reading = false;  // a read is under way
        bool answered = false;
        bool busy = false;
        std::chrono::steady_clock::time_point endedAt{};
    };

    // Starts a read unless one is under way or the printer is being updated (here, or in firmware update
    // mode); `done` runs on the main queue when it ends. False when no read was started.
    bool read(const ZVPrinters::PrinterPtr& printer, std::function<void()> done = nullptr);
    const Reading* reading(const ZVPrinters::PrinterPtr& printer) const;
    // Forgets printers that are no longer listed.
    void keepOnly(const ZVPrinters::PrinterList& printers);

private:
    std::map<std::weak_ptr<ZVUSBPrinterOVN>, std::shared_ptr<Reading>, std::owner_less<>> readings_;
};

// The state of a listed printer (main queue): its shown values, what the reader learnt, the update history.
PrinterState stateOf(const ZVPrinters::PrinterPtr& printer, const PrinterReader& reader,
                     const std::vector<ovn::update::UpdateHistoryEntry>& history);

// The update history, read again only when the file changed.
class HistoryCache {
public:
    const std::vector<ovn::update::UpdateHistoryEntry>& entries();

private:
    std::optional<std::filesystem::file_time_type> modified_;
    uintmax_t size_ = 0;
    std::vector<ovn::update::UpdateHistoryEntry> entries_;
};

// ---- the commands ----

struct ExporterOptions {
    std::optional<std::string> output;       // metrics --output FILE
    std::string listen = "127.0.0.1:9864";   // serve --listen ADDR:PORT
    double refreshSeconds = 10;              // serve --refresh SECONDS
};

// ADDR:PORT ("127.0.0.1:9864", "[::1]:9864", "0.0.0.0:0" for any free port): false with a reason when it is
// not one.
bool parseListenAddress(const std::string& text, std::string* host, int* port, std::string* error);

// `ovnctl metrics`: the exposition once, on standard output or atomically into --output.
void runMetrics(Session& session, PrinterWatch& watch, const ExporterOptions& options);
// `ovnctl serve`: /metrics and /printers over HTTP until SIGINT or SIGTERM.
void runServe(Session& session, PrinterWatch& watch, const ExporterOptions& options);

}  // namespace ovnctl::metrics
