// The value type of the device-info dictionary and of user defaults, and the dictionary that a printer and the
// process-wide device-info registry share.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ovn {

// Nothing, a text, an integer, a boolean or a list of texts.
using Value = std::variant<std::monostate, std::string, int64_t, bool, std::vector<std::string>>;

inline bool isNothing(const Value& v) { return std::holds_alternative<std::monostate>(v); }
// The text held, or nothing for any other kind of value.
std::optional<std::string> valueAsString(const Value& v);
// An integer, or a boolean as 0/1; nothing otherwise.
std::optional<int64_t> valueAsInteger(const Value& v);
// A boolean, or an integer as non-zero; nothing otherwise.
std::optional<bool> valueAsBool(const Value& v);
// A short printable form for log lines: texts as they are, lists as ( a, b ), nothing as (null).
std::string describeValue(const Value& v);

// A mutable dictionary from text key to value. Every access takes the dictionary's own lock, so the main
// thread and a printer's command queue may read and write it at once. Shared by shared_ptr: the printer and
// the registry hold the same object.
class DeviceInfoDict {
public:
    using Map = std::map<std::string, Value>;

    DeviceInfoDict() = default;
    explicit DeviceInfoDict(Map entries) : entries_(std::move(entries)) {}

    std::optional<Value> get(const std::string& key) const;
    std::optional<std::string> getString(const std::string& key) const;
    std::optional<int64_t> getInteger(const std::string& key) const;
    std::optional<bool> getBool(const std::string& key) const;
    bool contains(const std::string& key) const;

    // Storing nothing (std::monostate) removes the key.
    void set(const std::string& key, Value value);
    void remove(const std::string& key);
    void clear();
    size_t count() const;
    std::vector<std::string> keys() const;
    // A consistent copy of every entry.
    Map snapshot() const;
    // Adds every entry of the other dictionary, replacing entries of the same key.
    void merge(const DeviceInfoDict& other);
    void merge(const Map& entries);
    // "{ key = value; ... }" for log lines.
    std::string describe() const;

private:
    mutable std::mutex mutex_;
    Map entries_;
};

using DeviceInfoRef = std::shared_ptr<DeviceInfoDict>;

}  // namespace ovn
