#include "platform/Value.h"

namespace ovn {

std::optional<std::string> valueAsString(const Value& v) {
    if (auto s = std::get_if<std::string>(&v)) return *s;
    return std::nullopt;
}

std::optional<int64_t> valueAsInteger(const Value& v) {
    if (auto i = std::get_if<int64_t>(&v)) return *i;
    if (auto b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    return std::nullopt;
}

std::optional<bool> valueAsBool(const Value& v) {
    if (auto b = std::get_if<bool>(&v)) return *b;
    if (auto i = std::get_if<int64_t>(&v)) return *i != 0;
    return std::nullopt;
}

std::string describeValue(const Value& v) {
    struct Visitor {
        std::string operator()(std::monostate) const { return "(null)"; }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(int64_t i) const { return std::to_string(i); }
        std::string operator()(bool b) const { return b ? "1" : "0"; }
        std::string operator()(const std::vector<std::string>& list) const {
            std::string out = "(";
            for (size_t i = 0; i < list.size(); ++i) out += (i ? ", " : " ") + list[i];
            return out + (list.empty() ? ")" : " )");
        }
    };
    return std::visit(Visitor{}, v);
}

std::optional<Value> DeviceInfoDict::get(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> DeviceInfoDict::getString(const std::string& key) const {
    auto v = get(key);
    return v ? valueAsString(*v) : std::nullopt;
}

std::optional<int64_t> DeviceInfoDict::getInteger(const std::string& key) const {
    auto v = get(key);
    return v ? valueAsInteger(*v) : std::nullopt;
}

std::optional<bool> DeviceInfoDict::getBool(const std::string& key) const {
    auto v = get(key);
    return v ? valueAsBool(*v) : std::nullopt;
}

bool DeviceInfoDict::contains(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.count(key) != 0;
}

void DeviceInfoDict::set(const std::string& key, Value value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isNothing(value))
        entries_.erase(key);
    else
        entries_[key] = std::move(value);
}

void DeviceInfoDict::remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(key);
}

void DeviceInfoDict::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

size_t DeviceInfoDict::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

std::vector<std::string> DeviceInfoDict::keys() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (auto& [k, v] : entries_) out.push_back(k);
    return out;
}

DeviceInfoDict::Map DeviceInfoDict::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

void DeviceInfoDict::merge(const DeviceInfoDict& other) {
    if (&other == this) return;
    merge(other.snapshot());
}

void DeviceInfoDict::merge(const Map& entries) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [k, v] : entries) {
        if (isNothing(v))
            entries_.erase(k);
        else
            entries_[k] = v;
    }
}

std::string DeviceInfoDict::describe() const {
    auto copy = snapshot();
    std::string out = "{";
    for (auto& [k, v] : copy) out += "\n    " + k + " = " + describeValue(v) + ";";
    out += copy.empty() ? "}" : "\n}";
    return out;
}

}  // namespace ovn
