// Many printer-like queues exchanging with the main queue at once: every block of a queue hops synchronously
// onto the main queue (as a shown property changes), some also hop onto a shared leaf queue and post replies
// back to main, and main queues work back onto the queues without waiting for them. The test thread is the
// main thread. Invariants: per-queue order, exact counts, queue identity through queue-specific values at every
// step, and main-only state touched only on main (ThreadSanitizer).
#include "kit/Kit.h"

using namespace std::chrono_literals;
using ovn::DispatchQueue;
using ovn::MainRunLoop;

namespace {
const char kCommandQueueKey = 0;
const char kMainQueueKey = 0;
}  // namespace

TEST(QueueStress, ThousandsOfNestedExchangesKeepOrderAndIdentity) {
    constexpr int kQueues = 8, kBlocksPerQueue = 400;
    constexpr int kProducers = 4;  // threads that issue the blocks of the queues, interleaved

    auto main = DispatchQueue::main();
    main->setSpecific(&kMainQueueKey, main.get());
    auto leaf = DispatchQueue::createSerial("test.stress.leaf");
    leaf->setSpecific(&kCommandQueueKey, leaf.get());

    struct PerQueue {
        std::shared_ptr<DispatchQueue> queue;
        int nextOnQueue = 0;      // queue-only
        int queuedFromMain = 0;   // queue-only
        int nextReplyOnMain = 0;  // main-only
        std::atomic<int> issued{0};
    };
    std::vector<std::unique_ptr<PerQueue>> queues;
    for (int q = 0; q < kQueues; ++q) {
        queues.push_back(std::make_unique<PerQueue>());
        queues.back()->queue = DispatchQueue::createSerial("test.stress." + std::to_string(q));
        queues.back()->queue->setSpecific(&kCommandQueueKey, queues.back()->queue.get());
    }

    long mainHops = 0, repliesOnMain = 0;  // main-only
    long leafHops = 0;                     // leaf-only
    std::atomic<int> violations{0}, finishedBlocks{0};
    std::atomic<bool> mainBusy{false};
    auto check = [&](bool ok) { violations += !ok; };

    auto makeBlock = [&](PerQueue* pq, int index) {
        return [&, pq, index] {
            DispatchQueue* self = pq->queue.get();
            check(DispatchQueue::getSpecific(&kCommandQueueKey) == self);
            check(DispatchQueue::getSpecific(&kMainQueueKey) == nullptr);
            check(pq->nextOnQueue == index);
            pq->nextOnQueue = index + 1;

            // The shown property changes on main, the queue waiting; main may queue work back, never waiting.
            main->sync([&] {
                check(!mainBusy.exchange(true));
                check(DispatchQueue::getSpecific(&kMainQueueKey) == main.get());
                check(DispatchQueue::getSpecific(&kCommandQueueKey) == nullptr);
                ++mainHops;
                main->sync([&] { ++mainHops; });  // already on main: a nested hop runs at once
                if (index % 10 == 0) pq->queue->async([pq] { ++pq->queuedFromMain; });
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
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int q = p; q < kQueues; q += kProducers) {
                PerQueue* pq = queues[q].get();
                for (int i = 0; i < kBlocksPerQueue; ++i) pq->queue->async(makeBlock(pq, pq->issued.fetch_add(1)));
            }
        });

    constexpr int kTotal = kQueues * kBlocksPerQueue;
    auto start = std::chrono::steady_clock::now();
    bool done = MainRunLoop::runUntil([&] { return finishedBlocks.load() == kTotal && repliesOnMain == kTotal; }, 30s);
    auto took = std::chrono::steady_clock::now() - start;
    for (auto& t : producers) t.join();

    ASSERT_TRUE(done) << "only " << finishedBlocks.load() << " of " << kTotal << " blocks finished";
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(repliesOnMain, kTotal);
    const long leafBlocks = kQueues * ((kBlocksPerQueue + 3) / 4);
    EXPECT_EQ(leafHops, leafBlocks);
    EXPECT_EQ(mainHops, 2L * kTotal + leafBlocks);
    for (auto& pq : queues) {
        ASSERT_TRUE(kit::pumpUntil([&] { return pq->queue->pendingCount() == 0; }));
        EXPECT_EQ(pq->nextOnQueue, kBlocksPerQueue);
        EXPECT_EQ(pq->nextReplyOnMain, kBlocksPerQueue);
        EXPECT_EQ(pq->queuedFromMain, kBlocksPerQueue / 10);
        EXPECT_TRUE(kit::pumpUntil([&] { return pq->queue->pendingCount() == 0; }))
            << "the count is updated just after each block returns";
    }
    // Not a timing target: a deadlock-prone or starving pool shows up as a run far beyond this.
    EXPECT_LT(took, 20s);
    main->setSpecific(&kMainQueueKey, nullptr);
}

TEST(QueueStress, OneBlockHoppingToMainInATightLoopKeepsItsOrder) {
    constexpr int kQueues = 6, kHops = 300;
    auto main = DispatchQueue::main();
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    std::vector<int> perQueueOnMain(kQueues, 0);  // main-only
    std::atomic<int> loopsDone{0};
    for (int q = 0; q < kQueues; ++q) {
        queues.push_back(DispatchQueue::createSerial("test.hops." + std::to_string(q)));
        queues[q]->async([&, q] {
            for (int i = 0; i < kHops; ++i) main->sync([&, q, i] { EXPECT_EQ(perQueueOnMain[q]++, i); });
            loopsDone.fetch_add(1);
        });
    }
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return loopsDone.load() == kQueues; }, 30s));
    EXPECT_EQ(perQueueOnMain, std::vector<int>(kQueues, kHops));
}
