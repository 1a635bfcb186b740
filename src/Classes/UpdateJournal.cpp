#include "Classes/UpdateJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Classes/JsonText.h"
#include "Classes/UpdateHistory.h"
#include "platform/SystemLog.h"

namespace ovn::update {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr char kPrefix[] = "journal-";
constexpr char kSuffix[] = ".json";

std::mutex gSharedMutex;
std::shared_ptr<UpdateJournal> gShared;

std::string errnoText() { return std::strerror(errno); }

json toJson(const JournalRecord& r) {
    json files = json::array();
    for (const auto& f : r.files) files.push_back({{"name", f.name}, {"hash", f.hash}});
    json phases = json::array();
    for (const auto& p : r.phases) phases.push_back({{"phase", p.phase}, {"time", historyTimeText(p.time)}, {"at", p.time}});
    return {{"productID", r.productID}, {"model", r.model},       {"serial", optionalText(r.serial)},
            {"usbLocation", r.usbLocation}, {"phase", r.phase},   {"from", optionalText(r.from)},
            {"to", optionalText(r.to)},     {"files", files},     {"phases", phases},
            {"started", r.started},         {"program", r.program}};
}

// A record as written by toJson; nothing for anything else.
std::optional<JournalRecord> fromJson(const json& j) {
    if (!j.is_object()) return std::nullopt;
    auto product = j.find("productID");
    auto phase = j.find("phase");
    auto model = textOf(j, "model");
    if (product == j.end() || !product->is_number_unsigned() || product->get<uint64_t>() > 0xFFFF) return std::nullopt;
    if (phase == j.end() || !phase->is_number_integer() || !model) return std::nullopt;
    JournalRecord r;
    r.productID = static_cast<uint16_t>(product->get<uint64_t>());
    r.model = *model;
    r.serial = textOf(j, "serial");
    r.usbLocation = textOf(j, "usbLocation").value_or("");
    r.phase = phase->get<int64_t>();
    r.from = textOf(j, "from");
    r.to = textOf(j, "to");
    r.program = textOf(j, "program").value_or("");
    if (auto s = j.find("started"); s != j.end() && s->is_number()) r.started = s->get<double>();
    if (auto f = j.find("files"); f != j.end() && f->is_array())
        for (const auto& file : *f)
            if (file.is_object()) r.files.push_back({textOf(file, "name").value_or(""), textOf(file, "hash").value_or("")});
    if (auto p = j.find("phases"); p != j.end() && p->is_array())
        for (const auto& change : *p)
            if (change.is_object() && change.contains("phase") && change["phase"].is_number_integer())
                r.phases.push_back({change["phase"].get<int64_t>(),
                                    change.value("at", 0.0)});
    return r;
}

std::string safe(const std::string& text) {
    std::string out;
    for (char c : text) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '_';
    return out;
}

// Writes the whole text to the file descriptor and makes it durable.
bool writeAllAndSync(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return ::fsync(fd) == 0;
}

}  // namespace

std::string JournalRecord::identity() const {
    char product[8];
    std::snprintf(product, sizeof product, "%04X", productID);
    if (serial && !serial->empty()) return std::string(product) + "-" + safe(*serial);
    return std::string(product) + "-at-" + safe(usbLocation);
}

UpdateJournal::UpdateJournal(fs::path folder) : folder_(std::move(folder)) { reload(); }

UpdateJournal::~UpdateJournal() {
    for (auto& [identity, fd] : locks_) ::close(fd);
}

std::shared_ptr<UpdateJournal> UpdateJournal::shared() {
    std::lock_guard lock(gSharedMutex);
    return gShared;
}

std::shared_ptr<UpdateJournal> UpdateJournal::openShared(const fs::path& folder) {
    auto journal = std::make_shared<UpdateJournal>(folder.empty() ? stateDirectory() : folder);
    for (const auto& problem : journal->problems()) SysLog("update journal: %s", problem.c_str());
    setShared(journal);
    return journal;
}

void UpdateJournal::setShared(std::shared_ptr<UpdateJournal> journal) {
    std::lock_guard lock(gSharedMutex);
    gShared = std::move(journal);
}

fs::path UpdateJournal::recordPath(const std::string& identity) const {
    return folder_ / (kPrefix + identity + kSuffix);
}

void UpdateJournal::syncFolder() const {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void UpdateJournal::setAside(const fs::path& file, const std::string& why) {
    const std::string aside = file.string() + ".damaged-" + historyTimeText(nowSeconds());
    std::error_code ec;
    fs::rename(file, aside, ec);
    const std::string problem = ec ? "the update journal record " + file.string() + " is damaged (" + why +
                                         ") and could not be set aside: " + ec.message()
                                   : "the update journal record " + file.string() + " is damaged (" + why +
                                         "); it was set aside as " + aside;
    SysLog("update journal: %s", problem.c_str());
    problems_.push_back(problem);
}

void UpdateJournal::reload() {
    std::lock_guard lock(mutex_);
    records_.clear();
    std::error_code ec;
    if (!fs::is_directory(folder_, ec)) return;
    for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        // Only whole records: a temporary file left by a power cut is not one.
        if (name.rfind(kPrefix, 0) != 0 || name.size() <= sizeof kSuffix ||
            name.compare(name.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) != 0)
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        if (!in) {
            const std::string problem = "the update journal record " + it->path().string() + " cannot be read: " + errnoText();
            SysLog("update journal: %s", problem.c_str());
            problems_.push_back(problem);
            continue;
        }
        std::stringstream text;
        text << in.rdbuf();
        auto record = fromJson(json::parse(text.str(), nullptr, false));
        if (!record) {
            setAside(it->path(), "not a journal record");
            continue;
        }
        records_[record->identity()] = *record;
    }
}

bool UpdateJournal::usable(std::string* why) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (!fs::is_directory(folder_)) {
        if (why) *why = "the folder " + folder_.string() + " cannot be made" + (ec ? ": " + ec.message() : "");
        return false;
    }
    // Tried, not inferred from the permissions: a folder on a read-only file system reads as writable.
    const fs::path probe = folder_ / ".journal-write-test";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (why) *why = "the folder " + folder_.string() + " cannot be written: " + errnoText();
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

std::vector<JournalRecord> UpdateJournal::records() const {
    std::lock_guard lock(mutex_);
    std::vector<JournalRecord> out;
    for (const auto& [identity, record] : records_) out.push_back(record);
    return out;
}

std::optional<JournalRecord> UpdateJournal::record(const std::string& identity) const {
    std::lock_guard lock(mutex_);
    auto it = records_.find(identity);
    if (it == records_.end()) return std::nullopt;
    return it->second;
}

std::optional<JournalRecord> UpdateJournal::find(uint16_t productID, const std::optional<std::string>& serial,
                                                 const std::string& usbLocation) const {
    std::lock_guard lock(mutex_);
    for (const auto& [identity, r] : records_) {
        if (r.productID != productID) continue;
        const bool recordHasSerial = r.serial && !r.serial->empty();
        if (recordHasSerial ? (serial && *serial == *r.serial) : r.usbLocation == usbLocation) return r;
    }
    return std::nullopt;
}

bool UpdateJournal::hasRecordFor(uint16_t productID) const {
    std::lock_guard lock(mutex_);
    for (const auto& [identity, r] : records_)
        if (r.productID == productID) return true;
    return false;
}

bool UpdateJournal::save(JournalRecord record, std::string* why) {
    auto fail = [&](const std::string& what) {
        const std::string reason = what + ": " + errnoText();
        SysLog("update journal: %s", reason.c_str());
        if (why) *why = reason;
        return false;
    };
    if (!usable(why)) return false;
    const std::string identity = record.identity();
    const double now = nowSeconds();
    {
        std::lock_guard lock(mutex_);
        auto it = records_.find(identity);
        if (it != records_.end() && record.phases.empty()) record.phases = it->second.phases;
        if (record.started == 0) record.started = it != records_.end() && it->second.started ? it->second.started : now;
    }
    if (record.phases.empty() || record.phases.back().phase != record.phase) record.phases.push_back({record.phase, now});
    if (record.program.empty()) record.program = historyProgramName();

    const fs::path file = recordPath(identity);
    const fs::path temporary = file.string() + ".tmp";
    const std::string text = toJson(record).dump(2) + "\n";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail("cannot create " + temporary.string());
    const bool written = writeAllAndSync(fd, text);
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        return fail("cannot write " + temporary.string());
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return fail("cannot put " + file.string() + " in place");
    }
    syncFolder();
    std::lock_guard lock(mutex_);
    records_[identity] = std::move(record);
    return true;
}

void UpdateJournal::close(const std::string& identity, const std::string& result, const std::optional<std::string>& to,
                          const std::vector<std::string>& tablesWritten) {
    std::optional<JournalRecord> r = record(identity);
    if (r) {
        UpdateHistoryEntry entry;
        entry.model = r->model;
        entry.serial = r->serial;
        entry.usbLocation = r->usbLocation;
        entry.from = r->from;
        entry.to = to ? to : r->to;
        entry.tablesWritten = tablesWritten;
        entry.result = result;
        entry.durationSeconds = r->started ? nowSeconds() - r->started : 0;
        entry.program = historyProgramName();
        std::string error;
        if (!appendUpdateHistory(entry, &error, folder_ / "history.jsonl"))
            SysLog("update history: %s", error.c_str());
        SysLog("update of %s (serial %s) closed in the journal: %s", r->model.c_str(),
               r->serial.value_or("unknown").c_str(), result.c_str());
    }
    std::error_code ec;
    if (fs::remove(recordPath(identity), ec)) syncFolder();
    if (ec) SysLog("update journal: cannot remove %s: %s", recordPath(identity).c_str(), ec.message().c_str());
    {
        std::lock_guard lock(mutex_);
        records_.erase(identity);
    }
    unlock(identity);
}

UpdateJournal::Lock UpdateJournal::lock(const std::string& identity, std::string* why) {
    std::lock_guard lock(mutex_);
    if (locks_.count(identity)) return Lock::Held;
    std::error_code ec;
    fs::create_directories(folder_, ec);
    const fs::path file = folder_ / (kPrefix + identity + ".lock");
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (why) *why = "cannot open " + file.string() + ": " + errnoText();
        return Lock::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool elsewhere = errno == EWOULDBLOCK;
        if (why) *why = elsewhere ? "another program holds " + file.string() : "cannot lock " + file.string() + ": " + errnoText();
        ::close(fd);
        return elsewhere ? Lock::HeldElsewhere : Lock::Failed;
    }
    locks_[identity] = fd;
    return Lock::Held;
}

bool UpdateJournal::lockedElsewhere(const std::string& identity) {
    {
        std::lock_guard lock(mutex_);
        if (locks_.count(identity)) return false;
    }
    const fs::path file = folder_ / (kPrefix + identity + ".lock");
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool taken = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // lets go of the shared lock taken just now
    return taken;
}

void UpdateJournal::unlock(const std::string& identity) {
    std::lock_guard lock(mutex_);
    auto it = locks_.find(identity);
    if (it == locks_.end()) return;
    ::close(it->second);
    locks_.erase(it);
}

std::vector<std::string> UpdateJournal::problems() const {
    std::lock_guard lock(mutex_);
    return problems_;
}

}  // namespace ovn::update
