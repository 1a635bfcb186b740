// The user-defaults store: a few settings per user. The standard store is a JSON file under the user's XDG
// configuration directory; a missing or unreadable file reads as "absent".
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace ovn {

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual std::optional<Value> objectForKey(const std::string& key) const = 0;
    virtual void setObject(const std::string& key, const Value& value) = 0;  // nothing removes the key
    virtual void removeObjectForKey(const std::string& key) { setObject(key, Value{}); }
    // Where the values live, for messages: the file's path, or "memory".
    virtual std::string location() const { return "memory"; }

    // Absent or not a boolean/integer reads as false.
    bool boolForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;

    // The store the programs use; by default a FileUserDefaults at defaultPath().
    static UserDefaults& standard();
    static void setStandard(std::shared_ptr<UserDefaults> defaults);
    // $XDG_CONFIG_HOME/ovn-utility/defaults.json, or ~/.config/ovn-utility/defaults.json.
    static std::string defaultPath();
};

// In memory only (tests, --simulate runs that must not touch the user's settings).
class MemoryUserDefaults : public UserDefaults {
public:
    std::optional<Value> objectForKey(const std::string& key) const override;
    void setObject(const std::string& key, const Value& value) override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

// Backed by a JSON object in a file; written through at every change (to a temporary file in the same folder,
// synced, then renamed over the file, so a crash never leaves half a file). A write keeps the file's mode and
// every entry it does not set, and goes through a symlink to its target. A write that fails keeps the value in
// memory and logs the failure. A file that exists but cannot be read or is not a JSON object is never written
// over: the user is warned once and the store runs on built-in settings, in memory.
class FileUserDefaults : public UserDefaults {
public:
    explicit FileUserDefaults(std::string path);
    std::optional<Value> objectForKey(const std::string& key) const override;
    void setObject(const std::string& key, const Value& value) override;
    const std::string& path() const { return path_; }
    std::string location() const override { return path_; }

private:
    void load();
    void unusable(const std::string& problem);
    bool save() const;
    std::string path_;
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
    // Entries of the file that are not a Value (written by someone else): kept as JSON text and written back
    // unchanged, so that saving one setting never drops another.
    std::map<std::string, std::string> foreign_;
    // The file exists but could not be read or understood: it is left as it is and nothing is written to it.
    bool unusable_ = false;
};

}  // namespace ovn
