#include "cli/Metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <set>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNProtocol.h"
#include "platform/DispatchQueue.h"

namespace ovnctl::metrics {

namespace {

constexpr char kBusyStatus[] = "In use by other application";

std::string number(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string("NaN");
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

constexpr Family kInfo{"ovn_printer_info", "gauge",
                       "The printer's identity: serial number, model, firmware version and USB location (always 1)."};
constexpr Family kUp{"ovn_printer_up", "gauge", "Whether the printer answered its last status query (1) or not (0)."};
constexpr Family kLifetime{"ovn_printer_lifetime_prints_total", "counter",
                           "Prints the printer has made in its life (its lifetime counter)."};
constexpr Family kStatus{"ovn_printer_status", "gauge",
                         "The printer's status text: 1 for the current one, 0 for the others."};
constexpr Family kBusy{"ovn_printer_busy", "gauge",
                       "Whether another program held the printer at its last read (1) or not (0)."};
constexpr Family kUpdateAvailable{"ovn_printer_firmware_update_available", "gauge",
                                  "Whether a newer firmware version than the printer's is offered (1) or not (0)."};
constexpr Family kInUpdate{"ovn_printer_in_firmware_update", "gauge",
                           "Whether the printer is being updated or waits for firmware (1) or not (0)."};
constexpr Family kLastUpdateTime{"ovn_printer_last_update_timestamp_seconds", "gauge",
                                 "When the printer's last firmware update ended, in seconds since the epoch."};
constexpr Family kLastUpdateSuccess{"ovn_printer_last_update_success", "gauge",
                                    "Whether the printer's last firmware update succeeded (1) or not (0)."};
constexpr Family kScrapeDuration{"ovn_exporter_scrape_duration_seconds", "gauge",
                                 "Seconds the exporter spent reading the printers and writing this exposition."};

void header(std::string& out, const Family& family) {
    out += "# HELP ";
    out += family.name;
    out += ' ';
    out += family.help;
    out += "\n# TYPE ";
    out += family.name;
    out += ' ';
    out += family.type;
    out += '\n';
}

// A printer whose serial number is not known (held by another program since it was plugged in, or waiting for
// firmware) is told apart from others of its model by its USB location.
std::string labels(const PrinterState& p) {
    std::string text = "serial=\"" + escapeLabelValue(p.serial) + "\",model=\"" + escapeLabelValue(p.model) + "\"";
    if (p.serial.empty()) text += ",usb_location=\"" + escapeLabelValue(p.usbLocation) + "\"";
    return text;
}

void sample(std::string& out, const Family& family, const std::string& labelText, const std::string& value) {
    out += family.name;
    out += '{';
    out += labelText;
    out += "} ";
    out += value;
    out += '\n';
}

// One family over every printer that has a value for it.
template <class ValueOf>
void family(std::string& out, const Family& f, const std::vector<PrinterState>& printers, ValueOf valueOf) {
    header(out, f);
    for (const auto& p : printers)
        if (auto value = valueOf(p)) sample(out, f, labels(p), *value);
}

std::optional<std::string> flag(bool value) { return std::string(value ? "1" : "0"); }

}  // namespace

const std::vector<std::string>& statusVocabulary() {
    static const std::vector<std::string> vocabulary = [] {
        // Every status number the printer class names, in order, then the texts that are not numbers.
        std::vector<std::string> texts;
        std::set<std::string> seen;
        const std::string unknown = ovn::protocol::stringForDSStatusString(std::string("-1"));
        for (int code = 0; code <= 9999; ++code) {
            std::string text = ovn::protocol::stringForDSStatusString(std::to_string(code));
            if (text != unknown && seen.insert(text).second) texts.push_back(text);
        }
        texts.push_back(unknown);
        texts.push_back(
            ovn::protocol::stringForDSStatusString(std::string(ovn::protocol::kRawStatusFirmwareUpdateMode)));
        texts.push_back(ovn::protocol::stringForDSStatusString(std::nullopt));
        return texts;
    }();
    return vocabulary;
}

std::string escapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string printersExposition(const std::vector<PrinterState>& printers) {
    std::string out;
    header(out, kInfo);
    for (const auto& p : printers)
        sample(out, kInfo,
               "serial=\"" + escapeLabelValue(p.serial) + "\",model=\"" + escapeLabelValue(p.model) +
                   "\",firmware=\"" + escapeLabelValue(p.firmware) + "\",usb_location=\"" +
                   escapeLabelValue(p.usbLocation) + "\"",
               "1");
    family(out, kUp, printers, [](const PrinterState& p) { return flag(p.up); });
    family(out, kLifetime, printers, [](const PrinterState& p) -> std::optional<std::string> {
        if (!p.lifetimePrints) return std::nullopt;
        return std::to_string(*p.lifetimePrints);
    });
    header(out, kStatus);
    for (const auto& p : printers) {
        bool shown = false;
        for (const auto& text : statusVocabulary()) {
            const bool current = p.status == text;
            shown = shown || current;
            sample(out, kStatus, labels(p) + ",status=\"" + escapeLabelValue(text) + "\"", current ? "1" : "0");
        }
        // A text of the program's own ("In use by other application", "Updating firmware ...").
        if (p.status && !shown)
            sample(out, kStatus, labels(p) + ",status=\"" + escapeLabelValue(*p.status) + "\"", "1");
    }
    family(out, kBusy, printers, [](const PrinterState& p) { return flag(p.busy); });
    family(out, kUpdateAvailable, printers, [](const PrinterState& p) { return flag(p.firmwareUpdateAvailable); });
    family(out, kInUpdate, printers, [](const PrinterState& p) { return flag(p.inFirmwareUpdate); });
    family(out, kLastUpdateTime, printers, [](const PrinterState& p) -> std::optional<std::string> {
        if (!p.lastUpdateTimestamp) return std::nullopt;
        return number(*p.lastUpdateTimestamp);
    });
    family(out, kLastUpdateSuccess, printers, [](const PrinterState& p) -> std::optional<std::string> {
        if (!p.lastUpdateSucceeded) return std::nullopt;
        return flag(*p.lastUpdateSucceeded);
    });
    return out;
}

std::string scrapeDurationExposition(double seconds) {
    std::string out;
    header(out, kScrapeDuration);
    out += kScrapeDuration.name;
    out += ' ';
    out += number(seconds);
    out += '\n';
    return out;
}

std::string exposition(const std::vector<PrinterState>& printers, double scrapeDurationSeconds) {
    return printersExposition(printers) + scrapeDurationExposition(scrapeDurationSeconds);
}

bool writeFileAtomically(const std::filesystem::path& path, const std::string& contents, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = "cannot write " + path.string() + ": " + what + ": " + std::strerror(errno);
        return false;
    };
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    std::string pattern = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) return fail("cannot create a temporary file in " + folder.string());
    // Readable like any file the user writes (mkstemp makes it private).
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);
    size_t written = 0;
    while (written < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(pattern.c_str());
            errno = saved;
            return fail("write failed");
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        errno = saved;
        return fail("flush failed");
    }
    if (std::rename(pattern.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(pattern.c_str());
        errno = saved;
        return fail("rename failed");
    }
    // The rename itself reaches the disk with the folder.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Reading printers

bool PrinterReader::read(const ZVPrinters::PrinterPtr& printer, std::function<void()> done) {
    auto& slot = readings_[std::weak_ptr<ZVUSBPrinterOVN>(printer)];
    if (!slot) slot = std::make_shared<Reading>();
    // A printer in firmware update mode is being updated, by this program or another: it is left alone.
    const std::string updateMode =
        ovn::protocol::stringForDSStatusString(std::string(ovn::protocol::kRawStatusFirmwareUpdateMode));
    if (slot->reading || printer->inFirmwareUpdate() || printer->printerStatus() == updateMode ||
        !printer->printerCommandQueue())
        return false;
    slot->reading = true;
    auto reading = slot;
    auto answered = std::make_shared<bool>(false);  // main queue only
    auto finish = [reading, answered, done](bool busy) {
        reading->reading = false;
        reading->read = true;
        reading->answered = *answered;
        reading->busy = busy;
        reading->endedAt = std::chrono::steady_clock::now();
        if (done) done();
    };
    std::weak_ptr<ZVUSBPrinterOVN> weak = printer;
    // Command queue: open, ask, close; the replies reach the main queue before the end of the read does.
    printer->openInterface([weak, answered, finish](IOReturn result) {
        auto p = weak.lock();
        const bool busy = result == kIOReturnExclusiveAccess;
        if (!p) {
            ovn::DispatchQueue::main()->async([finish, busy] { finish(busy); });
            return;
        }
        if (result == kIOReturnSuccess) {
            p->getPrinterStatus([answered](const ZVUSBPrinter::Text&) { *answered = true; });
            p->getPrinterLifetimeCounter();
        }
        p->closeInterface([finish, busy](IOReturn) {
            ovn::DispatchQueue::main()->async([finish, busy] { finish(busy); });
        });
    });
    return true;
}

const PrinterReader::Reading* PrinterReader::reading(const ZVPrinters::PrinterPtr& printer) const {
    auto it = readings_.find(std::weak_ptr<ZVUSBPrinterOVN>(printer));
    return it == readings_.end() ? nullptr : it->second.get();
}

void PrinterReader::keepOnly(const ZVPrinters::PrinterList& printers) {
    std::set<const ZVUSBPrinterOVN*> listed;
    for (const auto& p : printers) listed.insert(p.get());
    std::erase_if(readings_, [&listed](const auto& entry) {
        auto printer = entry.first.lock();
        return !printer || !listed.count(printer.get());
    });
}

PrinterState stateOf(const ZVPrinters::PrinterPtr& printer, const PrinterReader& reader,
                     const std::vector<ovn::update::UpdateHistoryEntry>& history) {
    namespace catalogue = ovn::OVNFirmwareCatalogue;
    PrinterState state;
    auto serial = printer->printerSerialNumber();
    if (!serial || serial->empty() || *serial == "NULL") serial = printer->serialNumberUSB();
    state.serial = serial.value_or("");
    state.model = printer->model().value_or("");
    state.firmware = printer->firmwareVersion().value_or("");
    char location[16];
    std::snprintf(location, sizeof location, "0x%08X", printer->locationID());
    state.usbLocation = location;
    state.status = printer->printerStatus();
    if (const auto* r = reader.reading(printer); r && r->read) {
        state.up = r->answered;
        state.busy = r->busy;
    } else {
        // Not read yet: what the information probe found.
        state.busy = state.status == kBusyStatus;
        state.up = state.status.has_value() && !state.busy;
    }
    if (auto counter = printer->lifetimeCounter()) {
        int64_t value = 0;
        auto [end, ec] = std::from_chars(counter->data(), counter->data() + counter->size(), value);
        if (ec == std::errc() && end == counter->data() + counter->size() && value >= 0) state.lifetimePrints = value;
    }
    const std::string updateMode =
        ovn::protocol::stringForDSStatusString(std::string(ovn::protocol::kRawStatusFirmwareUpdateMode));
    state.inFirmwareUpdate = printer->inFirmwareUpdate() || state.status == updateMode;
    const double offered = catalogue::availableFirmwareVersion(ovn::valueAsString(printer->valueForKey("newFirmwareVersion")));
    const double installed = printer->installedFirmwareVersion();
    state.firmwareUpdateAvailable = offered > 0 && installed > 0 && offered > installed;
    for (const auto& entry : history) {
        if (!entry.serial || state.serial.empty() || *entry.serial != state.serial) continue;
        state.lastUpdateTimestamp = entry.timestamp;
        state.lastUpdateSucceeded = entry.succeeded();
    }
    return state;
}

const std::vector<ovn::update::UpdateHistoryEntry>& HistoryCache::entries() {
    std::error_code ec;
    const auto file = ovn::update::historyFile();
    auto modified = std::filesystem::last_write_time(file, ec);
    if (ec) {
        modified_.reset();
        entries_.clear();
        return entries_;
    }
    const auto size = std::filesystem::file_size(file, ec);
    if (modified_ && *modified_ == modified && size_ == size) return entries_;
    modified_ = modified;
    size_ = ec ? 0 : size;
    entries_ = ovn::update::readUpdateHistory(file);
    return entries_;
}

}  // namespace ovnctl::metrics
