#include "platform/DispatchQueue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace ovn {

namespace {

// A pool of worker threads that grows whenever a job arrives and no worker is idle; idle workers leave after
// a while. It is never destroyed, so that no worker can outlive it at process exit.
class WorkerPool {
public:
    static WorkerPool& shared() {
        static WorkerPool* pool = new WorkerPool();
        return *pool;
    }

    void submit(Block job) {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
        if (idle_ > 0) {
            cv_.notify_one();
            return;
        }
        ++threads_;
        std::thread([this] { workerLoop(); }).detach();
    }

private:
    void workerLoop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (jobs_.empty()) {
                ++idle_;
                bool woke = cv_.wait_for(lock, std::chrono::seconds(10), [this] { return !jobs_.empty(); });
                --idle_;
                if (!woke) {
                    --threads_;
                    return;
                }
            }
            Block job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            job = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Block> jobs_;
    size_t idle_ = 0;
    size_t threads_ = 0;
};

}  // namespace

struct DispatchQueue::Impl : std::enable_shared_from_this<DispatchQueue::Impl> {
    std::string label;
    bool isMain = false;

    mutable std::mutex mutex;
    std::condition_variable readyCv;  // main queue: a block became ready or stop was asked
    std::deque<Block> tasks;
    bool scheduled = false;
    std::atomic<size_t> pending{0};
    std::map<const void*, void*> specifics;

    void enqueue(Block block);
    void drainSerial();
};

namespace {

thread_local DispatchQueue::Impl* tlsCurrent = nullptr;

struct CurrentScope {
    explicit CurrentScope(DispatchQueue::Impl* impl) : previous(tlsCurrent) { tlsCurrent = impl; }
    ~CurrentScope() { tlsCurrent = previous; }
    DispatchQueue::Impl* previous;
};

std::mutex gHookMutex;
std::function<void()> gWakeupHook;
std::atomic<bool> gStopRequested{false};
std::atomic<int64_t> gLongestBlockNs{0};

// Delayed submissions: one timer thread, never destroyed.
class DelayTimer {
public:
    static DelayTimer& shared() {
        static DelayTimer* timer = new DelayTimer();
        return *timer;
    }
    void schedule(std::chrono::steady_clock::time_point when, std::shared_ptr<DispatchQueue::Impl> queue, Block block) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push(Entry{when, seq_++, std::move(queue), std::move(block)});
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        cv_.notify_one();
    }

private:
    struct Entry {
        std::chrono::steady_clock::time_point when;
        uint64_t seq;
        std::shared_ptr<DispatchQueue::Impl> queue;
        Block block;
        bool operator>(const Entry& other) const {
            return when != other.when ? when > other.when : seq > other.seq;
        }
    };
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (entries_.empty()) {
                cv_.wait(lock);
                continue;
            }
            auto when = entries_.top().when;
            if (std::chrono::steady_clock::now() < when) {
                cv_.wait_until(lock, when);
                continue;
            }
            Entry entry = entries_.top();
            entries_.pop();
            lock.unlock();
            entry.queue->enqueue(std::move(entry.block));
            entry.queue.reset();
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> entries_;
    uint64_t seq_ = 0;
    bool started_ = false;
};

}  // namespace

void DispatchQueue::Impl::enqueue(Block block) {
    pending.fetch_add(1);
    if (isMain) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back(std::move(block));
        }
        readyCv.notify_all();
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(gHookMutex);
            hook = gWakeupHook;
        }
        if (hook) hook();
        return;
    }
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        tasks.push_back(std::move(block));
        if (!scheduled) {
            scheduled = true;
            start = true;
        }
    }
    if (start) {
        // The drain job keeps the queue alive until its blocks have run.
        WorkerPool::shared().submit([self = shared_from_this()] { self->drainSerial(); });
    }
}

void DispatchQueue::Impl::drainSerial() {
    CurrentScope scope(this);
    for (;;) {
        Block block;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (tasks.empty()) {
                scheduled = false;
                return;
            }
            block = std::move(tasks.front());
            tasks.pop_front();
        }
        block();
        block = nullptr;  // what the block captured is released while the queue is still current
        pending.fetch_sub(1);
    }
}

DispatchQueue::DispatchQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(const std::string& label) {
    auto impl = std::make_shared<Impl>();
    impl->label = label;
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(impl)));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static std::shared_ptr<DispatchQueue>* mainQueue = [] {
        auto impl = std::make_shared<Impl>();
        impl->label = "main";
        impl->isMain = true;
        return new std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(impl)));
    }();
    return *mainQueue;
}

const std::string& DispatchQueue::label() const { return impl_->label; }
bool DispatchQueue::isMain() const { return impl_->isMain; }

void DispatchQueue::async(Block block) {
    if (!block) return;
    impl_->enqueue(std::move(block));
}

void DispatchQueue::sync(Block block) {
    if (!block) return;
    if (tlsCurrent == impl_.get()) {
        block();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    impl_->enqueue([&] {
        block();
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
        doneCv.notify_all();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

void DispatchQueue::asyncAfter(std::chrono::milliseconds delay, Block block) {
    if (!block) return;
    DelayTimer::shared().schedule(std::chrono::steady_clock::now() + delay, impl_, std::move(block));
}

void DispatchQueue::setSpecific(const void* key, void* value) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (value)
        impl_->specifics[key] = value;
    else
        impl_->specifics.erase(key);
}

void* DispatchQueue::specific(const void* key) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->specifics.find(key);
    return it == impl_->specifics.end() ? nullptr : it->second;
}

void* DispatchQueue::getSpecific(const void* key) {
    Impl* impl = tlsCurrent;
    if (!impl) return nullptr;
    std::lock_guard<std::mutex> lock(impl->mutex);
    auto it = impl->specifics.find(key);
    return it == impl->specifics.end() ? nullptr : it->second;
}

std::string DispatchQueue::currentLabel() {
    return tlsCurrent ? tlsCurrent->label : std::string();
}

size_t DispatchQueue::pendingCount() const { return impl_->pending.load(); }

// ---- main run loop ----

size_t MainRunLoop::drain() {
    DispatchQueue::Impl* impl = DispatchQueue::main()->impl_.get();
    size_t ready;
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        ready = impl->tasks.size();
    }
    size_t ran = 0;
    CurrentScope scope(impl);
    while (ran < ready) {
        Block block;
        {
            std::lock_guard<std::mutex> lock(impl->mutex);
            if (impl->tasks.empty()) break;
            block = std::move(impl->tasks.front());
            impl->tasks.pop_front();
        }
        auto start = std::chrono::steady_clock::now();
        block();
        block = nullptr;
        auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
        int64_t longest = gLongestBlockNs.load();
        while (took > longest && !gLongestBlockNs.compare_exchange_weak(longest, took)) {
        }
        impl->pending.fetch_sub(1);
        ++ran;
    }
    return ran;
}

bool MainRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    DispatchQueue::Impl* impl = DispatchQueue::main()->impl_.get();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drain();
        if (done && done()) return true;
        if (gStopRequested.exchange(false)) return done ? done() : false;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done ? done() : false;
        auto slice = std::min(deadline, now + std::chrono::milliseconds(10));
        std::unique_lock<std::mutex> lock(impl->mutex);
        impl->readyCv.wait_until(lock, slice, [impl] { return !impl->tasks.empty() || gStopRequested.load(); });
    }
}

void MainRunLoop::run() {
    DispatchQueue::Impl* impl = DispatchQueue::main()->impl_.get();
    for (;;) {
        drain();
        if (gStopRequested.exchange(false)) return;
        std::unique_lock<std::mutex> lock(impl->mutex);
        impl->readyCv.wait_for(lock, std::chrono::milliseconds(100),
                               [impl] { return !impl->tasks.empty() || gStopRequested.load(); });
    }
}

void MainRunLoop::runFor(std::chrono::milliseconds duration) {
    runUntil(nullptr, duration);
}

void MainRunLoop::stop() {
    gStopRequested.store(true);
    DispatchQueue::main()->impl_->readyCv.notify_all();
}

void MainRunLoop::setWakeupHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gWakeupHook = std::move(hook);
}

std::chrono::nanoseconds MainRunLoop::longestBlock() { return std::chrono::nanoseconds(gLongestBlockNs.load()); }
void MainRunLoop::resetLongestBlock() { gLongestBlockNs.store(0); }

}  // namespace ovn
