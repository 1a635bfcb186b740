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
#include <fstream>
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
    if (j.is_array()) {
        std::vector<std::string> list;
        for (auto& item : j) {
            if (item.is_string())
                list.push_back(item.get<std::string>());
            else if (item.is_number_integer())
                list.push_back(std::to_string(item.get<int64_t>()));
            else
                return std::nullopt;
        }
        return Value{list};
    }
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
// The whole content of a regular file; nothing when the path is missing, is not a regular file (a directory,
// a FIFO that would block), or cannot be read.
std::optional<std::string> readRegularFile(const std::string& path, bool* exists) {
    *exists = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *exists = errno != ENOENT && errno != ENOTDIR;
        return std::nullopt;
    }
    *exists = true;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}
}  // namespace

void FileUserDefaults::load() {
    bool exists = false;
    auto text = readRegularFile(path_, &exists);
    if (!text) {
        if (exists) SysLog("user defaults at %s are unreadable; using none", path_.c_str());
        return;
    }
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        SysLog("user defaults at %s are unreadable; using none", path_.c_str());
        return;
    }
    for (auto& [k, v] : json.items()) {
        if (auto value = fromJson(v))
            values_[k] = *value;
        else
            foreign_[k] = v.dump();
    }
}

bool FileUserDefaults::save() const {
    using nlohmann::json;
    json out = json::object();
    for (auto& [k, text] : foreign_) {
        auto v = json::parse(text, nullptr, false);
        if (!v.is_discarded()) out[k] = std::move(v);
    }
    for (auto& [k, v] : values_) out[k] = toJson(v);
    // Texts come from devices too: bytes that are not UTF-8 are written as U+FFFD rather than failing.
    std::string text = out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    std::error_code ec;
    std::filesystem::path target(path_);
    std::filesystem::create_directories(target.parent_path(), ec);
    // A name of this process and this save: two stores (or two programs) saving at once never share it.
    static std::atomic<unsigned> saves{0};
    std::string tmp = path_ + ".tmp." + std::to_string(getpid()) + "." + std::to_string(saves.fetch_add(1));
    bool written = false;
    {
        std::ofstream file(tmp, std::ios::trunc | std::ios::binary);
        if (file) {
            file << text;
            file.close();
            written = !file.fail();
        }
    }
    if (written) {
        std::filesystem::rename(tmp, target, ec);
        if (!ec) return true;
    }
    std::filesystem::remove(tmp, ec);
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
