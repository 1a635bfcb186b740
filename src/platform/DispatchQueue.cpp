#include "platform/DispatchQueue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <queue>
#include <system_error>
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
        // Every waiting job needs a worker of its own: a job may block until a later one has run (a queue that
        // waits for another queue). An idle worker that was woken but has not yet taken its job still counts
        // as idle, so compare with the number of waiting jobs, not with zero.
        if (jobs_.size() <= idle_) {
            cv_.notify_one();
            return;
        }
        try {
            std::thread([this] { workerLoop(); }).detach();
            ++threads_;
        } catch (const std::system_error&) {
            // No thread to be had: the job waits for the next free worker.
            cv_.notify_one();
        }
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

// The thread draining the main queue holds this lock for the whole pass, so that main-queue blocks never run
// on two threads at once. It is recursive: a main-queue block may run a nested loop (a modal alert) that
// drains again on the same thread.
std::recursive_mutex gDrainLock;

// The process's first thread, the one the programs drain the main queue on.
bool onInitialThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

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
            // The heap's top is const; moving out of it is fine because it is popped at once.
            Entry entry = std::move(const_cast<Entry&>(entries_.top()));
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

namespace {
DispatchQueue::Impl* gMainImpl = nullptr;  // set once, with the main queue, which is never destroyed
}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static std::shared_ptr<DispatchQueue>* mainQueue = [] {
        auto impl = std::make_shared<Impl>();
        impl->label = "main";
        impl->isMain = true;
        gMainImpl = impl.get();
        return new std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(impl)));
    }();
    return *mainQueue;
}

namespace {
DispatchQueue::Impl* mainImpl() {
    DispatchQueue::main();
    return gMainImpl;
}
}  // namespace

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
    if (impl_->isMain && tlsCurrent == nullptr && onInitialThread()) {
        // The first thread is the one that drains the main queue: waiting here for the queue would wait for
        // itself. Run the block at once, as one main-queue block (serialised with any other drainer).
        std::lock_guard<std::recursive_mutex> owner(gDrainLock);
        CurrentScope scope(impl_.get());
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

namespace {

// Runs the main-queue blocks that are ready now. *refused is set when another thread is draining.
size_t drainMain(bool* refused) {
    std::unique_lock<std::recursive_mutex> owner(gDrainLock, std::try_to_lock);
    if (refused) *refused = !owner.owns_lock();
    if (!owner.owns_lock()) return 0;
    DispatchQueue::Impl* impl = mainImpl();
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

// Waits until a main-queue block may be ready, stop() was asked, or the time point passes. While another
// thread drains, the queued blocks are not ours to run: wait for the time point (or stop) only.
void waitForMain(DispatchQueue::Impl* impl, std::chrono::steady_clock::time_point until, bool refused) {
    std::unique_lock<std::mutex> lock(impl->mutex);
    if (refused)
        impl->readyCv.wait_until(lock, until, [] { return gStopRequested.load(); });
    else
        impl->readyCv.wait_until(lock, until, [impl] { return !impl->tasks.empty() || gStopRequested.load(); });
}

}  // namespace

size_t MainRunLoop::drain() { return drainMain(nullptr); }

bool MainRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    DispatchQueue::Impl* impl = mainImpl();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool refused = false;
        drainMain(&refused);
        if (done && done()) return true;
        if (gStopRequested.exchange(false)) return done ? done() : false;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done ? done() : false;
        waitForMain(impl, std::min(deadline, now + std::chrono::milliseconds(10)), refused);
    }
}

void MainRunLoop::run() {
    DispatchQueue::Impl* impl = mainImpl();
    for (;;) {
        bool refused = false;
        drainMain(&refused);
        if (gStopRequested.exchange(false)) return;
        waitForMain(impl, std::chrono::steady_clock::now() + std::chrono::milliseconds(100), refused);
    }
}

void MainRunLoop::runFor(std::chrono::milliseconds duration) {
    runUntil(nullptr, duration);
}

void MainRunLoop::stop() {
    DispatchQueue::Impl* impl = mainImpl();
    {
        // Under the queue's lock, so that a loop about to wait cannot miss the request.
        std::lock_guard<std::mutex> lock(impl->mutex);
        gStopRequested.store(true);
    }
    impl->readyCv.notify_all();
}

void MainRunLoop::setWakeupHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gWakeupHook = std::move(hook);
}

std::chrono::nanoseconds MainRunLoop::longestBlock() { return std::chrono::nanoseconds(gLongestBlockNs.load()); }
void MainRunLoop::resetLongestBlock() { gLongestBlockNs.store(0); }

}  // namespace ovn
