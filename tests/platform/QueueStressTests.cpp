// Many printer-like queues exchanging with the main queue at once: every block of a queue hops synchronously
// onto the main queue (as a shown property changes), some also hop onto a shared leaf queue and post replies
// back to main. The test thread is the main thread. Invariants: per-queue order, exact counts, queue identity
// through queue-specific values at every step, and main-only state touched only on main (ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PlatformTestUtil.h"
#include "platform/DispatchQueue.h"

using namespace std::chrono_literals;
using ovn::DispatchQueue;
using ovn::MainRunLoop;

namespace {
const char kCommandQueueKey = 0;
const char kMainQueueKey = 0;
}  // namespace

TEST(QueueStress, ThousandsOfNestedExchangesKeepOrderAndIdentity) {
    constexpr int kQueues = 8;
    constexpr int kBlocksPerQueue = 400;
    constexpr int kProducers = 4;  // threads that issue the blocks of the queues, interleaved

    auto main = DispatchQueue::main();
    main->setSpecific(&kMainQueueKey, main.get());
    auto leaf = DispatchQueue::createSerial("test.stress.leaf");
    leaf->setSpecific(&kCommandQueueKey, leaf.get());

    struct PerQueue {
        std::shared_ptr<DispatchQueue> queue;
        int nextOnQueue = 0;      // queue-only
        int nextReplyOnMain = 0;  // main-only
        std::atomic<int> issued{0};
    };
    std::vector<std::unique_ptr<PerQueue>> queues;
    for (int q = 0; q < kQueues; ++q) {
        auto pq = std::make_unique<PerQueue>();
        pq->queue = DispatchQueue::createSerial("test.stress." + std::to_string(q));
        pq->queue->setSpecific(&kCommandQueueKey, pq->queue.get());
        queues.push_back(std::move(pq));
    }

    // Main-only state: plain ints, touched only inside main-queue blocks.
    long mainHops = 0;
    long repliesOnMain = 0;
    long leafHops = 0;  // leaf-only
    std::atomic<int> violations{0};
    std::atomic<int> finishedBlocks{0};
    std::atomic<bool> mainBusy{false};

    auto check = [&](bool ok) {
        if (!ok) violations.fetch_add(1);
    };

    auto makeBlock = [&](PerQueue* pq, int index) {
        return [&, pq, index] {
            DispatchQueue* self = pq->queue.get();
            check(DispatchQueue::getSpecific(&kCommandQueueKey) == self);
            check(DispatchQueue::getSpecific(&kMainQueueKey) == nullptr);
            check(pq->nextOnQueue == index);
            pq->nextOnQueue = index + 1;

            // The shown property changes on main, the queue waiting.
            main->sync([&] {
                check(!mainBusy.exchange(true));
                check(DispatchQueue::getSpecific(&kMainQueueKey) == main.get());
                check(DispatchQueue::getSpecific(&kCommandQueueKey) == nullptr);
                ++mainHops;
                // Already on main: a nested hop runs at once.
                main->sync([&] { ++mainHops; });
                mainBusy.store(false);
            });
            check(DispatchQueue::getSpecific(&kCommandQueueKey) == self);

            if (index % 4 == 0) {
                // A nested exchange on another queue, itself hopping to main.
                leaf->sync([&] {
                    check(DispatchQueue::getSpecific(&kCommandQueueKey) == leaf.get());
                    ++leafHops;
                    main->sync([&] { ++mainHops; });
                });
                check(DispatchQueue::getSpecific(&kCommandQueueKey) == self);
            }

            // A reply delivered on main, without waiting: replies keep the queue's order.
            main->async([&, pq, index] {
                check(pq->nextReplyOnMain == index);
                pq->nextReplyOnMain = index + 1;
                ++repliesOnMain;
            });
            finishedBlocks.fetch_add(1);
        };
    };

    // Producers issue the blocks of every queue in round-robin slices; each queue's blocks come from one
    // producer at a time, in index order (the issued counter hands out indexes).
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int q = p; q < kQueues; q += kProducers) {
                PerQueue* pq = queues[q].get();
                for (int i = 0; i < kBlocksPerQueue; ++i) pq->queue->async(makeBlock(pq, pq->issued.fetch_add(1)));
            }
        });
    }

    constexpr int kTotal = kQueues * kBlocksPerQueue;
    auto start = std::chrono::steady_clock::now();
    bool done = MainRunLoop::runUntil(
        [&] { return finishedBlocks.load() == kTotal && repliesOnMain == kTotal; }, 30s);
    auto took = std::chrono::steady_clock::now() - start;
    for (auto& t : producers) t.join();

    ASSERT_TRUE(done) << "only " << finishedBlocks.load() << " of " << kTotal << " blocks finished";
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(repliesOnMain, kTotal);
    const long leafBlocks = kQueues * ((kBlocksPerQueue + 3) / 4);
    EXPECT_EQ(leafHops, leafBlocks);
    EXPECT_EQ(mainHops, 2L * kTotal + leafBlocks);
    for (auto& pq : queues) {
        EXPECT_EQ(pq->nextOnQueue, kBlocksPerQueue);
        EXPECT_EQ(pq->nextReplyOnMain, kBlocksPerQueue);
        auto idleBy = std::chrono::steady_clock::now() + 5s;  // updated just after each block returns
        while (pq->queue->pendingCount() != 0 && std::chrono::steady_clock::now() < idleBy)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(pq->queue->pendingCount(), 0u);
    }
    // Not a timing target: a deadlock-prone or starving pool shows up as a run far beyond this.
    EXPECT_LT(took, 20s);
    main->setSpecific(&kMainQueueKey, nullptr);
}

TEST(QueueStress, ManyQueuesHopToMainAtOnceWhileMainAlsoQueuesWork) {
    // Every queue issues its hops in a tight loop, and main itself queues work to the queues (never waiting
    // for them): the one rule that keeps the exchange free of deadlocks.
    constexpr int kQueues = 6;
    constexpr int kHops = 300;
    auto main = DispatchQueue::main();
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    for (int q = 0; q < kQueues; ++q) queues.push_back(DispatchQueue::createSerial("test.hops." + std::to_string(q)));

    long onMain = 0;                                 // main-only
    std::vector<int> perQueueOnMain(kQueues, 0);     // main-only
    std::vector<int> queuedFromMain(kQueues, 0);     // each slot touched only by its queue
    std::atomic<int> loopsDone{0};
    for (int q = 0; q < kQueues; ++q) {
        queues[q]->async([&, q] {
            for (int i = 0; i < kHops; ++i) {
                main->sync([&, q, i] {
                    ++onMain;
                    EXPECT_EQ(perQueueOnMain[q], i);
                    perQueueOnMain[q] = i + 1;
                    if (i % 10 == 0) queues[q]->async([&, q] { ++queuedFromMain[q]; });
                });
            }
            loopsDone.fetch_add(1);
        });
    }
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return loopsDone.load() == kQueues; }, 30s));
    for (int q = 0; q < kQueues; ++q) {
        ASSERT_TRUE(platform_test::runOn(queues[q], [] {}));
        EXPECT_EQ(perQueueOnMain[q], kHops);
        EXPECT_EQ(queuedFromMain[q], kHops / 10);
    }
    EXPECT_EQ(onMain, long(kQueues) * kHops);
}
