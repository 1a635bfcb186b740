#include "sim/SimulationText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>

namespace ovn::sim {

namespace {

constexpr uint32_t kMaxDelayMs = 600000;
constexpr size_t kMaxTextValue = 64;

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        parts.push_back(s.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
        if (pos == std::string_view::npos) break;
        start = pos + 1;
    }
    return parts;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::optional<uint64_t> parseDecimal(std::string_view s, uint64_t max) {
    if (s.empty() || s.size() > 10) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return std::nullopt;
    return v;
}

std::optional<uint64_t> parseHex(std::string_view s, uint64_t max) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.empty() || s.size() > 8) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    if (v > max) return std::nullopt;
    return v;
}

std::optional<bool> parseFlag(std::string_view s) {
    if (s == "0") return false;
    if (s == "1") return true;
    return std::nullopt;
}

bool printableText(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
    return text;
}

std::string faultNames() {
    std::vector<std::string> names;
    for (Fault f : {Fault::NoReply, Fault::LateReply, Fault::BadHeader, Fault::OversizeLength, Fault::NoCarriageReturn,
                    Fault::Disconnect, Fault::Busy, Fault::PowerLoss})
        names.push_back(faultName(f));
    return joined(names);
}

// As a fault names them: "STATUS", "INFO.FVER".
std::string commandNames() {
    std::vector<std::string> names;
    for (const auto& info : deviceCommandTable()) {
        std::string name = commandName(info.command);
        std::replace(name.begin(), name.end(), ' ', '.');
        names.push_back(name);
    }
    return joined(names);
}

// Parses one printer's part; answers an error text or nothing.
std::optional<std::string> parsePrinter(std::string_view part, SimulatedPrinterSetup& entry) {
    auto fields = split(part, ':');
    std::string_view modelName = trim(fields[0]);
    auto model = modelByName(modelName);
    if (!model) {
        return "unknown model " + quoted(modelName) + " in " + quoted(part);
    }
    entry.config.model = *model;
    entry.text = std::string(part);
    const ModelInfo& info = modelInfo(*model);

    std::set<std::string> seen;
    for (size_t i = 1; i < fields.size(); ++i) {
        std::string_view field = fields[i];
        size_t eq = field.find('=');
        if (eq == std::string_view::npos) {
            return "expected key=value, got " + quoted(field) + " in " + quoted(part);
        }
        std::string key(trim(field.substr(0, eq)));
        std::string_view value = trim(field.substr(eq + 1));
        auto bad = [&](const std::string& expected) {
            return "bad value " + quoted(value) + " for key " + quoted(key) + " in " + quoted(part) + " (expected " +
                   expected + ")";
        };
        if (key != "fault" && !seen.insert(key).second) {
            return "key " + quoted(key) + " given twice in " + quoted(part);
        }
        if (key == "serial") {
            if (value.empty() || value.size() > kMaxTextValue || !printableText(value)) {
                return bad("1 to 64 printable characters");
            }
            entry.config.serial = std::string(value);
            entry.hasSerial = true;
        } else if (key == "fw") {
            if (value.empty() || value.size() > kMaxTextValue || !printableText(value)) {
                return bad("1 to 64 printable characters");
            }
            entry.config.firmwareVersion = std::string(value);
        } else if (key == "status") {
            bool digits = !value.empty() && value.size() <= 8 &&
                          std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits && value != kUpdateModeStatus) return bad("1 to 8 digits, or FU00001");
            entry.config.rawStatus = std::string(value);
        } else if (key == "busy") {
            auto f = parseFlag(value);
            if (!f) return bad("0 or 1");
            entry.busy = *f;
        } else if (key == "iserial") {
            auto f = parseFlag(value);
            if (!f) return bad("0 or 1");
            if (*f && info.iSerial == ISerialSupport::Never) {
                return "the " + std::string(info.name) + " has no USB serial-number setting: " + quoted(field) +
                       " in " + quoted(part);
            }
            entry.config.iSerial = *f;
        } else if (key == "life") {
            auto v = parseDecimal(value, 9999999);
            if (!v) return bad("a number from 0 to 9999999");
            entry.config.lifetimeCounter = static_cast<uint32_t>(*v);
        } else if (key == "vendor") {
            auto v = parseHex(value, 0xFFFF);
            if (!v || *v == 0) return bad("a hexadecimal USB vendor ID such as 0x2A71");
            entry.config.vendorId = static_cast<uint16_t>(*v);
        } else if (key == "location") {
            auto v = parseHex(value, 0xFFFFFFFF);
            if (!v || *v == 0) return bad("a non-zero hexadecimal USB location such as 0x14100000");
            entry.config.locationId = static_cast<uint32_t>(*v);
            entry.hasLocation = true;
        } else if (key == "unplug") {
            auto v = parseDecimal(value, kMaxDelayMs);
            if (!v) return bad("milliseconds from 0 to 600000");
            entry.unplugAfterMs = static_cast<uint32_t>(*v);
        } else if (key == "delay" || key == "settle") {
            auto v = parseDecimal(value, kMaxDelayMs);
            if (!v) return bad("milliseconds from 0 to 600000");
            if (key == "delay") {
                entry.config.restartDelayMs = static_cast<uint32_t>(*v);
            } else {
                entry.config.settleMs = static_cast<uint32_t>(*v);
            }
        } else if (key == "fault") {
            // NAME[@COMMAND][*COUNT]
            std::string_view rest = value;
            uint32_t count = 1;
            size_t star = rest.find('*');
            if (star != std::string_view::npos) {
                std::string_view countText = rest.substr(star + 1);
                rest = rest.substr(0, star);
                if (countText == "always") {
                    count = kFaultForever;
                } else {
                    auto v = parseDecimal(countText, 1000000);
                    if (!v || *v == 0) {
                        return "bad count " + quoted(countText) + " in fault " + quoted(value) + " in " + quoted(part) +
                               " (expected a number from 1 to 1000000, or always)";
                    }
                    count = static_cast<uint32_t>(*v);
                }
            }
            std::optional<DeviceCommand> command;
            size_t at = rest.find('@');
            std::string_view name = rest.substr(0, at);
            if (at != std::string_view::npos) {
                std::string_view commandText = rest.substr(at + 1);
                bool ambiguous = false;
                command = commandByName(commandText, &ambiguous);
                if (ambiguous) {
                    return "ambiguous command " + quoted(commandText) + " in fault " + quoted(value) + " in " +
                           quoted(part) + " (write CATEGORY.SUBCOMMAND, e.g. TBL_RD.Version)";
                }
                if (!command) {
                    return "unknown command " + quoted(commandText) + " in fault " + quoted(value) + " in " +
                           quoted(part);
                }
            }
            auto fault = faultByName(name);
            if (!fault) {
                return "unknown fault " + quoted(name) + " in " + quoted(part) + " (faults: " + faultNames() + ")";
            }
            if (command && faultNeedsReply(*fault) && commandInfo(*command).kind != CommandKind::Query) {
                return "fault " + quoted(name) + " changes a reply, but " + commandName(*command) +
                       " is not answered: " + quoted(value) + " in " + quoted(part);
            }
            entry.config.faults.push_back(FaultRule{*fault, command, count});
        } else {
            return "unknown key " + quoted(key) + " in " + quoted(part) +
                   " (keys: serial, fw, status, busy, iserial, life, vendor, location, fault, delay, settle, unplug)";
        }
    }
    return std::nullopt;
}

}  // namespace

SimulationParseResult parseSimulationText(std::string_view text) {
    SimulationParseResult result;
    if (trim(text).empty()) {
        result.error = "no printer described in " + quoted(text);
        return result;
    }
    std::set<std::string> serials;
    std::set<uint32_t> locations;
    for (std::string_view rawPart : split(text, ',')) {
        std::string_view part = trim(rawPart);
        if (part.empty()) {
            result.error = "empty printer description in " + quoted(text);
            result.printers.clear();
            return result;
        }
        SimulatedPrinterSetup entry;
        if (auto error = parsePrinter(part, entry)) {
            result.error = *error;
            result.printers.clear();
            return result;
        }
        if (entry.hasSerial && !serials.insert(entry.config.serial).second) {
            result.error = "serial " + quoted(entry.config.serial) + " used twice, again in " + quoted(part);
            result.printers.clear();
            return result;
        }
        if (entry.hasLocation && !locations.insert(entry.config.locationId).second) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%08X", entry.config.locationId);
            result.error = std::string("location ") + buf + " used twice, again in " + quoted(part);
            result.printers.clear();
            return result;
        }
        result.printers.push_back(std::move(entry));
        if (result.printers.size() > kMaxSimulatedPrinters) {
            result.error = "at most " + std::to_string(kMaxSimulatedPrinters) + " printers can be simulated";
            result.printers.clear();
            return result;
        }
    }
    return result;
}

std::string simulationHelpText() {
    std::vector<std::string> models;
    for (const auto& info : allModels()) {
        char id[8];
        std::snprintf(id, sizeof id, "0x%.4X", unsigned{info.productId});
        models.push_back(std::string(info.name) + "\x01" + id);  // kept on one line
    }
    // Wrapped for a terminal, two blanks in.
    auto wrapped = [](const std::string& text) {
        std::string out, line = " ";
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find(' ', start);
            std::string word = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (line.size() + 1 + word.size() > 110) {
                out += line + "\n";
                line = "   ";
            }
            line += " " + word;
            start = end == std::string::npos ? text.size() : end + 1;
        }
        out += line + "\n";
        std::replace(out.begin(), out.end(), '\x01', ' ');
        return out;
    };
    return "Simulated printers (--simulate):\n" +
           wrapped("USB product IDs of the models: " + joined(models) +
                   ". Only the accepted ones are listed; --accept-product adds one.") +
           wrapped("Faults (fault=NAME[@COMMAND][*COUNT]): " + faultNames() + ".") +
           wrapped("Commands a fault may be limited to: " + commandNames() + ".");
}

}  // namespace ovn::sim
