// Observable properties: an object announces "will change" and "did change" for a key around every change of
// an observable property, and its observers are told on the thread that made the change.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace ovn {

class Observable;

struct KeyValueChange {
    Value newValue;      // with the NewValue option: the value after the change (valueForKey)
    bool isPrior = false;  // with the Prior option: true for the call made before the change
};

class KeyValueObserver {
public:
    virtual ~KeyValueObserver() = default;
    virtual void observeValueForKeyPath(const std::string& keyPath, Observable* object, const KeyValueChange& change,
                                        void* context) = 0;
};

// A registration that removes itself when destroyed.
class ObservationToken {
public:
    ObservationToken() = default;
    ~ObservationToken();
    ObservationToken(ObservationToken&&) noexcept;
    ObservationToken& operator=(ObservationToken&&) noexcept;
    ObservationToken(const ObservationToken&) = delete;
    ObservationToken& operator=(const ObservationToken&) = delete;
    void reset();

private:
    friend class Observable;
    struct State;
    std::shared_ptr<State> state_;
};

class Observable {
public:
    enum Options : unsigned { NewValue = 0x1, Prior = 0x8 };

    Observable();
    virtual ~Observable();
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    // Observers are not owned. removeObserver never waits for a notification in flight on another thread, so an
    // observer must stay valid as long as a change may be announced; the usual pattern is an observer that
    // only queues work and is removed on the main queue.
    void addObserver(KeyValueObserver* observer, const std::string& keyPath, unsigned options, void* context);
    // Removes the registration with this observer, key and context (one of them, when registered twice).
    void removeObserver(KeyValueObserver* observer, const std::string& keyPath, void* context);

    // A callback observer; removed when the token is destroyed or reset.
    [[nodiscard]] ObservationToken observe(const std::string& keyPath,
                                           std::function<void(const std::string& key, const KeyValueChange&)> callback,
                                           unsigned options = NewValue);

    void willChangeValueForKey(const std::string& key);
    void didChangeValueForKey(const std::string& key);

    // The current value of an observable property, for the NewValue option. Subclasses answer their keys.
    virtual Value valueForKey(const std::string& key) const;

    size_t observationCount() const;

    struct Entry;

private:
    void notify(const std::string& key, bool prior);
    void removeEntry(const std::shared_ptr<Entry>& entry);

    std::shared_ptr<std::mutex> mutex_;
    std::shared_ptr<std::vector<std::shared_ptr<Entry>>> entries_;
};

}  // namespace ovn
