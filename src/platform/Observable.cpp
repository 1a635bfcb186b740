#include "platform/Observable.h"

#include <algorithm>

namespace ovn {

struct Observable::Entry {
    KeyValueObserver* observer = nullptr;
    std::function<void(const std::string&, const KeyValueChange&)> callback;
    std::string keyPath;
    unsigned options = 0;
    void* context = nullptr;
    std::atomic<bool> active{true};
};

struct ObservationToken::State {
    std::weak_ptr<std::mutex> mutex;
    std::weak_ptr<std::vector<std::shared_ptr<Observable::Entry>>> entries;
    std::shared_ptr<Observable::Entry> entry;
};

ObservationToken::~ObservationToken() { reset(); }
ObservationToken::ObservationToken(ObservationToken&& other) noexcept : state_(std::move(other.state_)) {}
ObservationToken& ObservationToken::operator=(ObservationToken&& other) noexcept {
    if (this != &other) {
        reset();
        state_ = std::move(other.state_);
    }
    return *this;
}

void ObservationToken::reset() {
    if (!state_) return;
    state_->entry->active.store(false);
    auto mutex = state_->mutex.lock();
    auto entries = state_->entries.lock();
    if (mutex && entries) {
        std::lock_guard<std::mutex> lock(*mutex);
        entries->erase(std::remove(entries->begin(), entries->end(), state_->entry), entries->end());
    }
    state_.reset();
}

Observable::Observable()
    : mutex_(std::make_shared<std::mutex>()), entries_(std::make_shared<std::vector<std::shared_ptr<Entry>>>()) {}

Observable::~Observable() {
    std::lock_guard<std::mutex> lock(*mutex_);
    for (auto& e : *entries_) e->active.store(false);
    entries_->clear();
}

void Observable::addObserver(KeyValueObserver* observer, const std::string& keyPath, unsigned options, void* context) {
    if (!observer) return;
    auto entry = std::make_shared<Entry>();
    entry->observer = observer;
    entry->keyPath = keyPath;
    entry->options = options;
    entry->context = context;
    std::lock_guard<std::mutex> lock(*mutex_);
    entries_->push_back(std::move(entry));
}

void Observable::removeObserver(KeyValueObserver* observer, const std::string& keyPath, void* context) {
    std::lock_guard<std::mutex> lock(*mutex_);
    for (auto it = entries_->begin(); it != entries_->end(); ++it) {
        auto& e = *it;
        if (e->observer == observer && e->keyPath == keyPath && e->context == context) {
            e->active.store(false);
            entries_->erase(it);
            return;
        }
    }
}

ObservationToken Observable::observe(const std::string& keyPath,
                                     std::function<void(const std::string&, const KeyValueChange&)> callback,
                                     unsigned options) {
    ObservationToken token;
    if (!callback) return token;
    auto entry = std::make_shared<Entry>();
    entry->callback = std::move(callback);
    entry->keyPath = keyPath;
    entry->options = options;
    {
        std::lock_guard<std::mutex> lock(*mutex_);
        entries_->push_back(entry);
    }
    token.state_ = std::make_shared<ObservationToken::State>();
    token.state_->mutex = mutex_;
    token.state_->entries = entries_;
    token.state_->entry = std::move(entry);
    return token;
}

void Observable::willChangeValueForKey(const std::string& key) { notify(key, true); }
void Observable::didChangeValueForKey(const std::string& key) { notify(key, false); }

Value Observable::valueForKey(const std::string&) const { return {}; }

size_t Observable::observationCount() const {
    std::lock_guard<std::mutex> lock(*mutex_);
    return entries_->size();
}

void Observable::notify(const std::string& key, bool prior) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard<std::mutex> lock(*mutex_);
        for (auto& e : *entries_) {
            if (e->keyPath != key) continue;
            if (prior && !(e->options & Prior)) continue;
            targets.push_back(e);
        }
    }
    if (targets.empty()) return;
    bool wantsValue = std::any_of(targets.begin(), targets.end(), [](auto& e) { return e->options & NewValue; });
    KeyValueChange change;
    change.isPrior = prior;
    if (wantsValue && !prior) change.newValue = valueForKey(key);
    for (auto& e : targets) {
        if (!e->active.load()) continue;
        KeyValueChange delivered = change;
        if (!(e->options & NewValue)) delivered.newValue = Value{};
        if (e->callback)
            e->callback(key, delivered);
        else if (e->observer)
            e->observer->observeValueForKeyPath(key, this, delivered, e->context);
    }
}

}  // namespace ovn
