// Serial queues, the main queue and its run loop: ordering, mutual exclusion, synchronous hops, delays,
// queue-specific values, the GUI wake-up hook and the lifetime of a queue whose handle is dropped.
#include <atomic>

#include "PlatformTestUtil.h"
#include "platform/DispatchQueue.h"

using namespace std::chrono_literals;
using ovn::DispatchQueue;
using ovn::MainRunLoop;
using platform_test::eventually;
using platform_test::Gate;
using platform_test::runOn;
using Queue = std::shared_ptr<DispatchQueue>;

namespace {

// Unique addresses used as queue-specific keys.
const char kQueueKey = 0;
const char kOtherKey = 0;
const char kMainKey = 0;

// Drains the main queue on the test thread until the predicate holds (at most 10 s).
bool drainUntil(const std::function<bool()>& done) { return MainRunLoop::runUntil(done, 10s); }

// What a block on the queue finds under the key (a marker when the block never ran).
void* specificOn(const Queue& queue, const void* key) {
    void* seen = reinterpret_cast<void*>(1);
    EXPECT_TRUE(runOn(queue, [&] { seen = DispatchQueue::getSpecific(key); }));
    return seen;
}

// Clears the wake-up hook when the test ends, whatever happens.
struct HookGuard {
    ~HookGuard() { MainRunLoop::setWakeupHook(nullptr); }
};

// Counts blocks running at the same time as another block of the same (serial) queue.
struct OverlapCheck {
    std::atomic<bool> running{false};
    std::atomic<int> overlaps{0};
    void enter() { overlaps += running.exchange(true); }
    void leave() { running = false; }
};

}  // namespace

TEST(SerialQueue, RunsBlocksInSubmissionOrderNeverTwoAtOnce) {
    auto queue = DispatchQueue::createSerial("test.order");
    constexpr int kThreads = 4, kPerThread = 500;
    OverlapCheck overlap;
    std::vector<std::pair<int, int>> seen;  // touched only by blocks of the queue
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                queue->async([&, t, i] {
                    overlap.enter();
                    seen.emplace_back(t, i);
                    if ((i & 63) == 0) std::this_thread::yield();
                    overlap.leave();
                });
        });
    for (auto& p : producers) p.join();
    ASSERT_TRUE(runOn(queue, [] {}));

    EXPECT_EQ(overlap.overlaps.load(), 0);
    ASSERT_EQ(seen.size(), size_t(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (auto& [t, i] : seen) {
        EXPECT_EQ(i, next[t]) << "blocks of producer " << t << " ran out of order";
        next[t] = i + 1;
    }
    EXPECT_TRUE(eventually([&] { return queue->pendingCount() == 0; }))
        << "the count is updated just after a block returns";
}

TEST(SerialQueue, SeparateQueuesRunInParallel) {
    // Two queues whose blocks each wait for the other: only possible when they run at the same time.
    auto a = DispatchQueue::createSerial("test.parallel.a");
    auto b = DispatchQueue::createSerial("test.parallel.b");
    auto aStarted = std::make_shared<Gate>(), bStarted = std::make_shared<Gate>();
    std::atomic<bool> aSawB{false}, bSawA{false};
    a->async([&, aStarted, bStarted] {
        aStarted->open();
        aSawB = bStarted->waitFor(5s);
    });
    b->async([&, aStarted, bStarted] {
        bStarted->open();
        bSawA = aStarted->waitFor(5s);
    });
    ASSERT_TRUE(runOn(a, [] {}, 10s));
    ASSERT_TRUE(runOn(b, [] {}, 10s));
    EXPECT_TRUE(aSawB && bSawA);
}

TEST(SerialQueue, SyncWaitsForTheBlockOnAnotherQueueAndRunsInlineOnItsOwn) {
    auto queue = DispatchQueue::createSerial("test.sync");
    std::vector<int> order;  // the test thread writes only while the queue is idle
    std::thread::id ranOn;
    std::string label;
    queue->async([&] {
        std::this_thread::sleep_for(20ms);
        order.push_back(1);
    });
    queue->sync([&] {
        order.push_back(2);
        ranOn = std::this_thread::get_id();
        label = DispatchQueue::currentLabel();
    });
    order.push_back(3);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_EQ(label, "test.sync");
    EXPECT_EQ(DispatchQueue::currentLabel(), "");

    order.clear();
    ASSERT_TRUE(runOn(queue, [&] {
        order.push_back(1);
        queue->sync([&] { order.push_back(2); });
        order.push_back(3);
        queue->sync([&] { queue->sync([&] { order.push_back(4); }); });
    })) << "sync onto the running queue deadlocked";
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(SerialQueue, AsyncAfterWaitsAtLeastTheDelayAndKeepsDelayOrder) {
    auto queue = DispatchQueue::createSerial("test.after");
    std::vector<std::string> order;  // touched only by blocks of the queue
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration lateAt{}, earlyAt{};
    auto allDone = std::make_shared<Gate>();
    queue->asyncAfter(120ms, [&, allDone] {
        lateAt = std::chrono::steady_clock::now() - start;
        order.push_back("late");
        allDone->open();
    });
    queue->asyncAfter(40ms, [&] {
        earlyAt = std::chrono::steady_clock::now() - start;
        order.push_back("early-1");
    });
    queue->asyncAfter(40ms, [&] { order.push_back("early-2"); });
    queue->async([&] { order.push_back("now"); });
    ASSERT_TRUE(allDone->waitFor(10s));
    EXPECT_EQ(order, (std::vector<std::string>{"now", "early-1", "early-2", "late"}));
    EXPECT_GE(earlyAt, 40ms);
    EXPECT_GE(lateAt, 120ms);
}

TEST(SerialQueue, SpecificValuesAreAnsweredByTheRunningQueue) {
    auto a = DispatchQueue::createSerial("test.specific.a");
    auto b = DispatchQueue::createSerial("test.specific.b");
    int aValue = 1, bValue = 2, aOther = 3;
    a->setSpecific(&kQueueKey, &aValue);
    a->setSpecific(&kOtherKey, &aOther);
    b->setSpecific(&kQueueKey, &bValue);
    EXPECT_EQ(a->specific(&kQueueKey), &aValue);
    EXPECT_EQ(b->specific(&kOtherKey), nullptr);
    EXPECT_EQ(DispatchQueue::getSpecific(&kQueueKey), nullptr) << "outside any queue nothing is found";
    EXPECT_EQ(specificOn(b, &kQueueKey), &bValue);
    EXPECT_EQ(specificOn(b, &kOtherKey), nullptr) << "a block on B must not see A's values";

    // A block on A hopping synchronously onto B sees B's values during the hop and A's again after it.
    void *before = nullptr, *during = nullptr, *duringOther = reinterpret_cast<void*>(1), *after = nullptr;
    std::string labelDuring;
    ASSERT_TRUE(runOn(a, [&] {
        before = DispatchQueue::getSpecific(&kQueueKey);
        b->sync([&] {
            during = DispatchQueue::getSpecific(&kQueueKey);
            duringOther = DispatchQueue::getSpecific(&kOtherKey);
            labelDuring = DispatchQueue::currentLabel();
        });
        after = DispatchQueue::getSpecific(&kQueueKey);
    }));
    EXPECT_EQ((std::vector<void*>{&aValue, &bValue, nullptr, &aValue}),
              (std::vector<void*>{before, during, duringOther, after}));
    EXPECT_EQ(labelDuring, "test.specific.b");

    a->setSpecific(&kOtherKey, nullptr);  // storing nothing removes the value
    EXPECT_EQ(specificOn(a, &kOtherKey), nullptr);
}

TEST(SerialQueue, EmptyBlocksAreIgnored) {
    auto queue = DispatchQueue::createSerial("test.empty");
    queue->async(nullptr);
    queue->sync(nullptr);
    queue->asyncAfter(1ms, nullptr);
    EXPECT_EQ(queue->pendingCount(), 0u);
    EXPECT_EQ(queue->label(), "test.empty");
    EXPECT_FALSE(queue->isMain());
}

TEST(MainQueue, MarkedMainQueueIsRecognisedOnlyInItsBlocks) {
    auto main = DispatchQueue::main();
    EXPECT_TRUE(main->isMain());
    EXPECT_EQ(DispatchQueue::main().get(), main.get()) << "one main queue per process";
    main->setSpecific(&kMainKey, main.get());
    std::atomic<void*> fromMain{nullptr};
    std::atomic<bool> ran{false};
    std::string label;
    main->async([&] {
        fromMain = DispatchQueue::getSpecific(&kMainKey);
        label = DispatchQueue::currentLabel();
        ran = true;
    });
    EXPECT_FALSE(ran.load()) << "main-queue blocks run only when the main queue is drained";
    ASSERT_TRUE(drainUntil([&] { return ran.load(); }));
    EXPECT_EQ(fromMain.load(), main.get());
    EXPECT_EQ(label, "main");
    // Not from a serial queue, and not from the test thread outside a drained block.
    EXPECT_EQ(specificOn(DispatchQueue::createSerial("test.notmain"), &kMainKey), nullptr);
    EXPECT_EQ(DispatchQueue::getSpecific(&kMainKey), nullptr);
}

TEST(MainQueue, SyncFromAQueueWaitsForTheDrainingThreadAndSyncFromMainRunsInline) {
    auto main = DispatchQueue::main();
    auto queue = DispatchQueue::createSerial("test.mainhop");
    std::thread::id ranOn, nestedOn;
    std::vector<int> order;  // written in turn by the queue and (during its sync) the main thread
    std::atomic<bool> finished{false};
    queue->async([&] {
        order.push_back(1);
        main->sync([&] {
            ranOn = std::this_thread::get_id();
            order.push_back(2);
            main->sync([&] {
                nestedOn = std::this_thread::get_id();
                order.push_back(3);
            });
            order.push_back(4);
        });
        order.push_back(5);
        finished = true;
    });
    ASSERT_TRUE(drainUntil([&] { return finished.load(); }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(nestedOn, std::this_thread::get_id());
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(MainQueue, SyncFromTheFirstThreadOutsideAnyBlockRunsAtOnceAsAMainBlock) {
    // gtest runs the tests on the process's first thread, the thread that drains the main queue: waiting for
    // the main queue there would wait for ever.
    ASSERT_EQ(DispatchQueue::currentLabel(), "");
    auto main = DispatchQueue::main();
    main->setSpecific(&kMainKey, main.get());
    void* seen = nullptr;
    std::string label;
    bool ran = false;
    auto finished = std::make_shared<Gate>();
    std::thread watchdog([finished] {
        if (!finished->waitFor(5s)) {
            ADD_FAILURE() << "sync onto main from the first thread is stuck";
            MainRunLoop::drain();  // let the stuck sync go on so that the program can still end
        }
    });
    main->sync([&] {
        ran = true;
        seen = DispatchQueue::getSpecific(&kMainKey);
        label = DispatchQueue::currentLabel();
    });
    finished->open();
    watchdog.join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(seen, main.get());
    EXPECT_EQ(label, "main");
    EXPECT_EQ(DispatchQueue::getSpecific(&kMainKey), nullptr) << "outside the block the thread is on no queue";

    // From any other thread the block waits for the drain.
    std::atomic<bool> otherDone{false};
    std::thread other([&] {
        main->sync([] {});
        otherDone = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(otherDone.load());
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return otherDone.load(); }, 5s));
    other.join();
}

TEST(MainQueue, AsyncAfterOnMainRunsWhenDrainedAfterTheDelay) {
    auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ran{false};
    std::chrono::steady_clock::duration at{};
    DispatchQueue::main()->asyncAfter(50ms, [&] {
        at = std::chrono::steady_clock::now() - start;
        ran = true;
    });
    ASSERT_TRUE(drainUntil([&] { return ran.load(); }));
    EXPECT_GE(at, 50ms);
}

TEST(MainQueue, DrainRunsOnlyWhatIsReadyAndCountsIt) {
    MainRunLoop::drain();  // whatever earlier tests left
    auto main = DispatchQueue::main();
    std::vector<int> order;
    main->async([&] {
        order.push_back(1);
        main->async([&] { order.push_back(3); });  // queued while draining: waits for the next pass
    });
    main->async([&] { order.push_back(2); });
    EXPECT_EQ(MainRunLoop::drain(), 2u);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(MainRunLoop::drain(), 1u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(MainRunLoop::drain(), 0u);
}

TEST(MainQueue, NestedLoopInAMainBlockKeepsServingTheMainQueue) {
    // A modal alert runs a nested loop inside a main-queue block; work queued meanwhile still runs there.
    auto main = DispatchQueue::main();
    auto queue = DispatchQueue::createSerial("test.modal");
    std::atomic<bool> hopped{false}, outerDone{false};
    main->async([&] {
        queue->async([&] { main->sync([&] { hopped = true; }); });
        MainRunLoop::runUntil([&] { return hopped.load(); }, 5s);
        outerDone = true;
    });
    ASSERT_TRUE(drainUntil([&] { return outerDone.load(); }));
    EXPECT_TRUE(hopped.load());
}

TEST(MainQueue, OnlyOneThreadRunsMainBlocksAtATime) {
    // Two threads both running the loop: main-queue blocks must still run one at a time, in order.
    auto main = DispatchQueue::main();
    constexpr int kBlocks = 400;
    OverlapCheck overlap;
    std::atomic<int> ran{0};
    std::vector<int> seen;  // touched only by main-queue blocks
    for (int i = 0; i < kBlocks; ++i)
        main->async([&, i] {
            overlap.enter();
            seen.push_back(i);
            std::this_thread::yield();
            overlap.leave();
            ran.fetch_add(1);
        });
    auto allRan = [&] { return ran.load() == kBlocks; };
    std::thread other([&] { MainRunLoop::runUntil(allRan, 10s); });
    MainRunLoop::runUntil(allRan, 10s);
    other.join();
    EXPECT_EQ(ran.load(), kBlocks);
    EXPECT_EQ(overlap.overlaps.load(), 0);
    for (int i = 0; i < static_cast<int>(seen.size()); ++i) ASSERT_EQ(seen[i], i);
}

TEST(MainQueue, StopEndsRunFromAnotherThread) {
    std::atomic<bool> ran{false};
    DispatchQueue::main()->async([&] { ran = true; });
    std::thread stopper([&] {
        eventually([&] { return ran.load(); }, 10s);
        MainRunLoop::stop();
    });
    auto start = std::chrono::steady_clock::now();
    MainRunLoop::run();
    stopper.join();
    EXPECT_TRUE(ran.load());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(MainQueue, WakeupHookLetsAnotherLoopDrainTheMainQueue) {
    // A GUI does not run MainRunLoop: it is told through the hook and drains on its own thread.
    HookGuard guard;
    std::mutex mutex;
    std::condition_variable cv;
    int wakeups = 0;
    MainRunLoop::setWakeupHook([&] {
        std::lock_guard<std::mutex> lock(mutex);
        ++wakeups;
        cv.notify_all();
    });
    auto main = DispatchQueue::main();
    auto queue = DispatchQueue::createSerial("test.hook");
    constexpr int kHops = 50;
    std::atomic<int> hops{0};
    std::atomic<bool> finished{false};
    queue->async([&] {
        for (int i = 0; i < kHops; ++i) main->sync([&] { hops.fetch_add(1); });
        finished = true;
    });
    // The "GUI" loop: sleeps until the hook fires, then drains. `finished` does not notify: look now and then.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    int seenWakeups = 0;
    while (!finished.load() && std::chrono::steady_clock::now() < deadline) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait_for(lock, 20ms, [&] { return wakeups > seenWakeups || finished.load(); });
            seenWakeups = wakeups;
        }
        MainRunLoop::drain();
    }
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(hops.load(), kHops);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GE(wakeups, kHops);
}

TEST(MainQueue, WakeupHookIsCalledForDelayedMainBlocksAndNotForOtherQueues) {
    HookGuard guard;
    std::atomic<int> wakeups{0};
    MainRunLoop::setWakeupHook([&] { wakeups.fetch_add(1); });
    ASSERT_TRUE(runOn(DispatchQueue::createSerial("test.hook.other"), [] {}));
    EXPECT_EQ(wakeups.load(), 0);

    std::atomic<bool> ran{false};
    DispatchQueue::main()->asyncAfter(10ms, [&] { ran = true; });
    eventually([&] { return wakeups.load() != 0; });
    EXPECT_EQ(wakeups.load(), 1);
    EXPECT_FALSE(ran.load()) << "the hook only announces; the block runs when drained";
    MainRunLoop::drain();
    EXPECT_TRUE(ran.load());
}

namespace {
// Remembers, when destroyed, whether its block had run by then.
struct Tracked {
    std::shared_ptr<std::atomic<bool>> blockRan;
    std::shared_ptr<std::atomic<int>> destroyedAfterRun;  // 1: destroyed after the block ran, -1: before
    ~Tracked() { destroyedAfterRun->store(blockRan->load() ? 1 : -1); }
};
}  // namespace

TEST(QueueLifetime, DroppedQueueStillRunsPendingBlocksThenReleasesWhatTheyCaptured) {
    auto blockRan = std::make_shared<std::atomic<bool>>(false);
    auto destroyed = std::make_shared<std::atomic<int>>(0);
    auto delayedRan = std::make_shared<std::atomic<bool>>(false);
    auto gate = std::make_shared<Gate>();
    std::weak_ptr<Tracked> watch;
    {
        auto queue = DispatchQueue::createSerial("test.dropped");
        queue->async([gate] { gate->waitFor(5s); });  // keeps the next block pending
        auto tracked = std::make_shared<Tracked>(Tracked{blockRan, destroyed});
        watch = tracked;
        queue->async([tracked, blockRan] { blockRan->store(true); });
        queue->asyncAfter(30ms, [delayedRan] { delayedRan->store(true); });
        EXPECT_GE(queue->pendingCount(), 1u);
    }  // the last handle goes while two blocks wait
    EXPECT_FALSE(watch.expired()) << "a pending block's captures must live until it has run";
    gate->open();
    eventually([&] { return destroyed->load() != 0 && delayedRan->load(); });
    EXPECT_TRUE(blockRan->load());
    EXPECT_EQ(destroyed->load(), 1) << "captures must be released after the block ran, not before or never";
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(delayedRan->load());
}

TEST(QueueLifetime, ObjectOwningItsQueueCanBeReleasedFromItsOwnBlocks) {
    // The usual printer pattern: an object owns its queue, its queued work holds the object, and the last
    // block to finish frees both. The queue must not touch freed state afterwards (checked under ASan).
    struct Owner {
        Queue queue = DispatchQueue::createSerial("test.owner");
        std::shared_ptr<std::atomic<int>> ran = std::make_shared<std::atomic<int>>(0);
    };
    auto owner = std::make_shared<Owner>();
    auto ran = owner->ran;
    std::weak_ptr<Owner> watch = owner;
    for (int i = 0; i < 3; ++i)
        owner->queue->async([owner] {
            owner->ran->fetch_add(1);
            owner->queue->sync([] {});  // inline: the block runs on this queue
        });
    owner.reset();
    EXPECT_TRUE(eventually([&] { return watch.expired(); }));
    EXPECT_EQ(ran->load(), 3);
}

TEST(WorkerPool, BlockedQueuesNeverStarveQueuesQueuedBehindThem) {
    // Every block waits until all of them have started. Blocks that wait for other queues are normal here (a
    // printer queue waits for the main queue), so each queued block needs a thread even when idle workers
    // exist but were all claimed by blocks submitted just before.
    auto runRound = [](int count) {
        std::vector<Queue> queues;
        for (int i = 0; i < count; ++i) queues.push_back(DispatchQueue::createSerial("test.pool." + std::to_string(i)));
        std::atomic<int> started{0}, sawAll{0}, finished{0};
        for (auto& q : queues)
            q->async([&, count] {
                started.fetch_add(1);
                sawAll += eventually([&] { return started.load() == count; }, 3s);
                finished.fetch_add(1);
            });
        EXPECT_TRUE(eventually([&] { return finished.load() == count; }, 10s));
        return sawAll.load();
    };
    EXPECT_EQ(runRound(8), 8);    // leaves idle workers behind
    EXPECT_EQ(runRound(40), 40);  // more blocks than idle workers, submitted in a burst
    EXPECT_EQ(runRound(40), 40);
}
