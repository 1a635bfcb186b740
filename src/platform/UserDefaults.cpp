#include "platform/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/SystemLog.h"

namespace ovn {

namespace {
std::mutex gStandardMutex;
std::shared_ptr<UserDefaults> gStandard;

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

void FileUserDefaults::load() {
    std::ifstream in(path_);
    if (!in) return;
    std::stringstream text;
    text << in.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        SysLog("user defaults at %s are unreadable; using none", path_.c_str());
        return;
    }
    for (auto& [k, v] : json.items()) {
        if (auto value = fromJson(v)) values_[k] = *value;
    }
}

bool FileUserDefaults::save() const {
    nlohmann::json json = nlohmann::json::object();
    for (auto& [k, v] : values_) json[k] = toJson(v);
    std::error_code ec;
    std::filesystem::path target(path_);
    std::filesystem::create_directories(target.parent_path(), ec);
    std::string tmp = path_ + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) return false;
        out << json.dump(2) << "\n";
        if (!out.good()) return false;
    }
    std::filesystem::rename(tmp, target, ec);
    return !ec;
}

std::optional<Value> FileUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void FileUserDefaults::setObject(const std::string& key, const Value& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isNothing(value))
        values_.erase(key);
    else
        values_[key] = value;
    if (!save()) SysLog("could not write user defaults to %s", path_.c_str());
}

}  // namespace ovn
