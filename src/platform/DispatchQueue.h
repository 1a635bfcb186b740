// Serial work queues, the main queue and its run loop.
//
// A serial queue runs its blocks one at a time, in the order they were submitted, on a thread taken from a
// shared pool that grows when every worker is busy (a block may wait for USB or for the main queue). A queue
// stays alive while blocks are pending on it, so dropping the last handle never frees a queue under running
// work. Queue-specific values answer "which queue is running" without looking at thread identity.
//
// The main queue has no thread of its own: whoever owns the program's event loop drains it, the command-line
// program and the tests through MainRunLoop, the desktop program from Qt's event loop through the wake-up hook.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ovn {

using Block = std::function<void()>;

class DispatchQueue {
public:
    struct Impl;

    // A new serial queue with the given label.
    static std::shared_ptr<DispatchQueue> createSerial(const std::string& label);
    // The process's main queue.
    static std::shared_ptr<DispatchQueue> main();

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const;
    bool isMain() const;

    // Queues the block and returns at once.
    void async(Block block);
    // Queues the block and waits until it has run. Called from a block already running on this same queue it
    // runs the block at once (a serial queue waiting for itself would never finish). The same holds for the
    // main queue called from the process's first thread outside any block: that thread drains the main
    // queue, so the block runs there at once, as a main-queue block.
    void sync(Block block);
    // Queues the block once the delay has passed.
    void asyncAfter(std::chrono::milliseconds delay, Block block);

    // Queue-specific values: a value stored on this queue under a key. The key is any unique address.
    void setSpecific(const void* key, void* value);
    void* specific(const void* key) const;
    // The value under the key of the queue whose block is running on the calling thread; nullptr when the
    // caller runs on no queue or that queue holds nothing under the key.
    static void* getSpecific(const void* key);

    // The label of the queue whose block is running on the calling thread ("" when none).
    static std::string currentLabel();

    // Number of blocks queued and not yet finished (for tests and diagnostics).
    size_t pendingCount() const;

private:
    explicit DispatchQueue(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
    friend class MainRunLoop;
};

// Drains the main queue on the calling thread. Only one thread drains the main queue at a time.
class MainRunLoop {
public:
    // Runs every main-queue block that is ready now; returns how many ran.
    static size_t drain();
    // Runs main-queue blocks until stop() is called.
    static void run();
    // Runs main-queue blocks until the predicate (checked after each block and on every wake-up) is true or
    // the timeout passes; returns the predicate's last value.
    static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs main-queue blocks for the given time.
    static void runFor(std::chrono::milliseconds duration);
    // Ends run() (from any thread).
    static void stop();

    // A GUI event loop drains the main queue itself: the hook is called (from any thread) whenever a block
    // becomes ready on the main queue; the GUI then calls drain() on its own thread.
    static void setWakeupHook(std::function<void()> hook);

    // The longest time one main-queue block took since the last reset (for the stall benchmark).
    static std::chrono::nanoseconds longestBlock();
    static void resetLongestBlock();
};

}  // namespace ovn
