// The update history: one JSON line per firmware update that ended, appended to history.jsonl in the state
// folder ($XDG_STATE_HOME/ovn-utility, by default ~/.local/state/ovn-utility), which also holds the update
// journal. Both programs write it and read it.
//
// A line: {"time": "2026-12-06T13:45:00Z", "model": "OVN PL35", "serial": "7C1004721",
//          "usbLocation": "0x14100000", "from": "PL35 01.50", "to": "PL35 01.52",
//          "tablesWritten": ["PL35_CT_600.bin", ...], "result": "succeeded", "durationSeconds": 42.5,
//          "program": "ovnctl"}
// "result" is one of "succeeded", "failed", "interrupted", "resumed", "superseded". A text that is not known
// is null.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ovn::update {

// $XDG_STATE_HOME/ovn-utility when XDG_STATE_HOME is an absolute path, else $HOME/.local/state/ovn-utility.
std::filesystem::path stateDirectory();
// stateDirectory() / "history.jsonl".
std::filesystem::path historyFile();

struct UpdateHistoryEntry {
    std::string time;                 // ISO 8601, UTC, whole seconds
    double timestamp = 0;             // the same as seconds since the epoch
    std::optional<std::string> model;
    std::optional<std::string> serial;
    std::optional<std::string> usbLocation;
    std::optional<std::string> from;
    std::optional<std::string> to;
    std::vector<std::string> tablesWritten;
    std::string result;
    double durationSeconds = 0;
    std::string program;

    bool succeeded() const { return result == "succeeded" || result == "resumed"; }
};

// Appends one line (one write, then fsync), creating the folder and the file (mode 600) when missing.
// An empty entry time is set to now. False, and a reason naming the file, when it cannot be written.
bool appendUpdateHistory(const UpdateHistoryEntry& entry, std::string* error = nullptr,
                         const std::filesystem::path& file = historyFile());

// Every well-formed line, oldest first. A missing file is an empty history. Lines that do not parse are
// skipped and counted in *skipped; an unreadable file gives nothing and a reason in *error.
std::vector<UpdateHistoryEntry> readUpdateHistory(const std::filesystem::path& file = historyFile(),
                                                  std::string* error = nullptr, size_t* skipped = nullptr);

// The program named in history lines and journal records: set by the program, by default the process's
// name (/proc/self/comm).
void setHistoryProgramName(const std::string& name);
std::string historyProgramName();

// The text of now (or of a time in seconds since the epoch) as history writes it.
std::string historyTimeText(double secondsSinceEpoch);
double nowSeconds();

}  // namespace ovn::update
