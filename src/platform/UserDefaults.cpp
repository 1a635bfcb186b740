#include "platform/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "platform/SystemLog.h"

namespace ovn {

namespace {
std::mutex gStandardMutex;
std::shared_ptr<UserDefaults> gStandard;
// Stores replaced by setStandard stay alive: callers may still hold the reference standard() gave them.
std::vector<std::shared_ptr<UserDefaults>> gRetired;

nlohmann::json toJson(const Value& v) {
    if (auto s = std::get_if<std::string>(&v)) return *s;
    if (auto i = std::get_if<int64_t>(&v)) return *i;
    if (auto b = std::get_if<bool>(&v)) return *b;
    if (auto l = std::get_if<std::vector<std::string>>(&v)) return *l;
    return nullptr;
}

std::optional<Value> fromJson(const nlohmann::json& j) {
    if (j.is_string()) return Value{j.get<std::string>()};
    if (j.is_boolean()) return Value{j.get<bool>()};
    if (j.is_number_integer()) return Value{j.get<int64_t>()};
    if (j.is_number_unsigned()) return Value{static_cast<int64_t>(j.get<uint64_t>())};
    return std::nullopt;
}
}  // namespace

bool UserDefaults::boolForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return false;
    return valueAsBool(*v).value_or(false);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    auto v = objectForKey(key);
    return v ? valueAsString(*v) : std::nullopt;
}

UserDefaults& UserDefaults::standard() {
    std::lock_guard<std::mutex> lock(gStandardMutex);
    if (!gStandard) gStandard = std::make_shared<FileUserDefaults>(defaultPath());
    return *gStandard;
}

void UserDefaults::setStandard(std::shared_ptr<UserDefaults> defaults) {
    std::lock_guard<std::mutex> lock(gStandardMutex);
    if (gStandard) gRetired.push_back(gStandard);
    gStandard = std::move(defaults);
}

std::string UserDefaults::defaultPath() {
    std::string base;
    if (const char* xdg = getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        base = "/tmp";
    }
    return base + "/ovn-utility/defaults.json";
}

std::optional<Value> MemoryUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void MemoryUserDefaults::setObject(const std::string& key, const Value& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isNothing(value))
        values_.erase(key);
    else
        values_[key] = value;
}

FileUserDefaults::FileUserDefaults(std::string path) : path_(std::move(path)) { load(); }

namespace {
constexpr char kFolderProblem[] = "it is a folder";

// The whole content of a regular file; nothing when the path is missing, is not a regular file (a directory,
// a FIFO that would block), or cannot be read, with the reason in *problem (empty for a missing file).
std::optional<std::string> readRegularFile(const std::string& path, std::string* problem) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) *problem = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *problem = S_ISDIR(st.st_mode) ? kFolderProblem : "it is not a regular file";
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *problem = std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

std::string jsonProblem(const std::string& text, const nlohmann::json& json) {
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return "the file is empty";
    if (json.is_discarded()) {
        try {
            [[maybe_unused]] auto again = nlohmann::json::parse(text);
        } catch (const nlohmann::json::parse_error& e) {
            return "not valid JSON at byte " + std::to_string(e.byte);
        }
        return "not valid JSON";
    }
    return std::string("a JSON ") + json.type_name() + " where an object of settings belongs";
}

// A symlink is followed to the file it names (also when that does not exist yet), so that a write replaces
// the target and leaves the link in place.
std::filesystem::path writeTarget(const std::string& path) {
    std::filesystem::path target(path);
    std::error_code ec;
    for (int depth = 0; depth < 40 && std::filesystem::is_symlink(target, ec); ++depth) {
        auto next = std::filesystem::read_symlink(target, ec);
        if (ec) break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

void FileUserDefaults::load() {
    std::string problem;
    auto text = readRegularFile(path_, &problem);
    if (!text) {
        if (problem == kFolderProblem)
            WarnUser("user defaults at " + path_ + " are unreadable; using none (" + problem + ")");
        else if (!problem.empty())
            unusable(problem);
        return;
    }
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        unusable(jsonProblem(*text, json));
        return;
    }
    std::vector<std::string> ignored;
    for (auto& [k, v] : json.items()) {
        if (v.is_array()) {
            // A list of texts: an entry of another kind is named and left out, and the file keeps it.
            std::vector<std::string> texts;
            for (auto& item : v) {
                if (item.is_string())
                    texts.push_back(item.get<std::string>());
                else
                    ignored.push_back("\"" + k + "\" entry " + item.dump() + " is not a text");
            }
            values_[k] = texts;
            if (texts.size() != v.size()) foreign_[k] = v.dump();
        } else if (auto value = fromJson(v)) {
            values_[k] = *value;
        } else {
            foreign_[k] = v.dump();
        }
    }
    for (const auto& what : ignored) WarnUser("user defaults at " + path_ + ": " + what + "; ignored");
}

void FileUserDefaults::unusable(const std::string& problem) {
    unusable_ = true;
    WarnUser("user defaults at " + path_ + " are unreadable; using none (" + problem +
             "); the file is left as it is and built-in settings are used");
}

bool FileUserDefaults::save() const {
    if (unusable_) return true;  // the user's file is never written over; the values live in memory
    using nlohmann::json;
    json out = json::object();
    for (auto& [k, v] : values_) out[k] = toJson(v);
    // Entries written by someone else (or lists with entries this store leaves out) go back unchanged.
    for (auto& [k, text] : foreign_) {
        auto v = json::parse(text, nullptr, false);
        if (!v.is_discarded()) out[k] = std::move(v);
    }
    // Texts come from devices too: bytes that are not UTF-8 are written as U+FFFD rather than failing.
    std::string text = out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    std::error_code ec;
    const std::filesystem::path target = writeTarget(path_);
    std::filesystem::create_directories(target.parent_path(), ec);
    // The file keeps its mode; a new one is the user's alone.
    mode_t mode = 0600;
    if (struct stat st {}; ::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;
    // A name of this process and this save: two stores (or two programs) saving at once never share it.
    static std::atomic<unsigned> saves{0};
    std::string tmp = target.string() + ".tmp." + std::to_string(getpid()) + "." + std::to_string(saves.fetch_add(1));
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written && ::rename(tmp.c_str(), target.c_str()) == 0) {
        // The rename itself reaches the disk with the folder.
        int dir = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }
    ::unlink(tmp.c_str());
    return false;
}

std::optional<Value> FileUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void FileUserDefaults::setObject(const std::string& key, const Value& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    foreign_.erase(key);
    if (isNothing(value))
        values_.erase(key);
    else
        values_[key] = value;
    if (!save()) SysLog("could not write user defaults to %s", path_.c_str());
}

}  // namespace ovn
