#include "Classes/UpdateHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "Classes/JsonText.h"

namespace ovn::update {

namespace fs = std::filesystem;

fs::path stateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return fs::path(state) / "ovn-utility";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".local" / "state" / "ovn-utility";
}

fs::path historyFile() { return stateDirectory() / "history.jsonl"; }

namespace {
std::mutex gProgramMutex;
std::string gProgramName;
}  // namespace

void setHistoryProgramName(const std::string& name) {
    std::lock_guard lock(gProgramMutex);
    gProgramName = name;
}

std::string historyProgramName() {
    std::lock_guard lock(gProgramMutex);
    if (gProgramName.empty()) {
        std::ifstream comm("/proc/self/comm");
        std::getline(comm, gProgramName);
    }
    return gProgramName;
}

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string historyTimeText(double secondsSinceEpoch) {
    const std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

namespace {

std::optional<double> parseTime(const std::string& text) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (!end || *end) return std::nullopt;
    return static_cast<double>(timegm(&tm));
}

}  // namespace

bool appendUpdateHistory(const UpdateHistoryEntry& entry, std::string* error, const fs::path& file) {
    auto fail = [&](const std::string& what) {
        if (error) *error = what + " " + file.string() + ": " + std::strerror(errno);
        return false;
    };
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    const double when = entry.time.empty() ? nowSeconds() : parseTime(entry.time).value_or(nowSeconds());
    nlohmann::json line = {
        {"time", entry.time.empty() ? historyTimeText(when) : entry.time},
        {"model", optionalText(entry.model)},
        {"serial", optionalText(entry.serial)},
        {"usbLocation", optionalText(entry.usbLocation)},
        {"from", optionalText(entry.from)},
        {"to", optionalText(entry.to)},
        {"tablesWritten", entry.tablesWritten},
        {"result", entry.result},
        {"durationSeconds", entry.durationSeconds},
        {"program", entry.program},
    };
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail("cannot open");
    const ssize_t written = ::write(fd, text.data(), text.size());
    const bool whole = written == static_cast<ssize_t>(text.size());
    const bool synced = whole && ::fsync(fd) == 0;
    ::close(fd);
    if (!whole) return fail("cannot write");
    if (!synced) return fail("cannot sync");
    return true;
}

std::vector<UpdateHistoryEntry> readUpdateHistory(const fs::path& file, std::string* error, size_t* skipped) {
    std::vector<UpdateHistoryEntry> entries;
    if (skipped) *skipped = 0;
    std::error_code ec;
    if (!fs::exists(file, ec)) return entries;
    std::ifstream in(file);
    if (!in) {
        if (error) *error = "cannot read " + file.string() + ": " + std::strerror(errno);
        return entries;
    }
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty()) continue;
        auto line = nlohmann::json::parse(text, nullptr, false);
        auto time = line.is_object() ? textOf(line, "time") : std::nullopt;
        auto result = line.is_object() ? textOf(line, "result") : std::nullopt;
        auto when = time ? parseTime(*time) : std::nullopt;
        if (!when || !result) {
            if (skipped) ++*skipped;
            continue;
        }
        UpdateHistoryEntry entry;
        entry.time = *time;
        entry.timestamp = *when;
        entry.model = textOf(line, "model");
        entry.serial = textOf(line, "serial");
        entry.usbLocation = textOf(line, "usbLocation");
        entry.from = textOf(line, "from");
        entry.to = textOf(line, "to");
        if (auto it = line.find("tablesWritten"); it != line.end() && it->is_array())
            for (const auto& t : *it)
                if (t.is_string()) entry.tablesWritten.push_back(t.get<std::string>());
        entry.result = *result;
        if (auto it = line.find("durationSeconds"); it != line.end() && it->is_number())
            entry.durationSeconds = it->get<double>();
        entry.program = textOf(line, "program").value_or("");
        entries.push_back(std::move(entry));
    }
    if (in.bad() && error) *error = "cannot read " + file.string() + ": " + std::strerror(errno);
    return entries;
}

}  // namespace ovn::update
