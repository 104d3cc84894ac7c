#include "Platform/Dispatch/DispatchRuntime.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Dispatch/OrderedWork.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/WorkerPool.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace quillmere {
namespace {

using namespace std::chrono_literals;

void drain(SerialQueue& queue) { queue.sync([] {}); }

// Returns once work the queue holds for the delay has run: whatever was due
// on it before then has run too.
void passDeadline(SerialQueue& queue, std::uint64_t delayNs) {
    std::promise<void> marker;
    queue.asyncAfter(delayNs, [&] { marker.set_value(); });
    marker.get_future().wait();
}

TEST(SerialQueue, RunsWorkInSubmissionOrderFromManyThreads) {
    SerialQueue queue("test.fifo");
    constexpr int perThread = 2000;
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) queue.async([&seen, t, i] { seen[t].push_back(i); });
        });
    }
    for (auto& p : producers) p.join();
    drain(queue);
    for (const auto& each : seen) {
        ASSERT_EQ(each.size(), static_cast<std::size_t>(perThread));
        for (int i = 0; i < perThread; ++i) ASSERT_EQ(each[i], i);
    }
}

TEST(SerialQueue, NeverRunsTwoItemsAtOnce) {
    SerialQueue queue("test.serial");
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 500; ++i) {
        queue.async([&] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            std::this_thread::yield();
            inside.fetch_sub(1);
        });
    }
    drain(queue);
    EXPECT_FALSE(overlapped);
}

// Work waited for comes after the work asked for before it without waiting,
// and an item may ask for more and wait for it.
TEST(OrderedWork, RunsWhatIsWaitedForAndWhatIsNotInTheOrderAsked) {
    std::vector<int> ran;
    std::promise<void> gate;
    std::thread opener;
    {
        OrderedWork work("test.ordered");
        work.async([held = gate.get_future().share()] { held.wait(); });
        work.async([&] {
            ran.push_back(1);
            work.sync([&] { ran.push_back(2); });
        });
        opener = std::thread([&] { gate.set_value(); });
        work.sync([&] { ran.push_back(3); });
        work.async([&] { ran.push_back(4); });
    }
    opener.join();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
}

// Threads that hand it work at the same moment: each thread's items keep
// their order, and none waits behind a later turn for ever.
TEST(OrderedWork, KeepsEachThreadsOrderWhenThreadsAskAtOnce) {
    constexpr int perThread = 2000;
    std::vector<std::vector<int>> seen(4);
    auto work = std::make_unique<OrderedWork>("test.ordered.threads");
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) work->async([&seen, t, i] { seen[t].push_back(i); });
        });
    }
    for (auto& p : producers) p.join();
    std::promise<void> drained;
    work->async([&] { drained.set_value(); });
    if (drained.get_future().wait_for(testing::patience) != std::future_status::ready) {
        // Stuck for good: its destructor would wait for ever too.
        (void)work.release();
        FAIL() << "the work stopped behind a turn that never came";
    }
    work.reset();
    for (const auto& each : seen) {
        ASSERT_EQ(each.size(), static_cast<std::size_t>(perThread));
        for (int i = 0; i < perThread; ++i) ASSERT_EQ(each[i], i);
    }
}

TEST(SerialQueue, SyncFromAnotherQueueAndGuardAgainstSelf) {
    SerialQueue a("test.a");
    SerialQueue b("test.b");
    std::string seenLabel;
    bool ranInline = false;
    a.sync([&] {
        EXPECT_TRUE(a.isCurrent());
        EXPECT_FALSE(b.isCurrent());
        b.sync([&] { seenLabel = SerialQueue::currentLabel(); });
        // Syncing onto the queue we are on would deadlock; it runs inline.
        a.sync([&] { ranInline = true; });
    });
    EXPECT_EQ(seenLabel, "test.b");
    EXPECT_TRUE(ranInline);
    EXPECT_FALSE(a.isCurrent());
    EXPECT_EQ(SerialQueue::currentLabel(), "");
}

TEST(SerialQueue, AsyncAfterRunsInDeadlineOrderAfterTheDelay) {
    SerialQueue queue("test.after");
    std::vector<int> order;
    std::promise<void> done;
    const std::uint64_t start = queue.nowNs();
    std::uint64_t firstRanAt = 0;
    queue.asyncAfter(30'000'000, [&] {
        order.push_back(3);
        done.set_value();
    });
    queue.asyncAfter(10'000'000, [&] {
        firstRanAt = queue.nowNs();
        order.push_back(1);
    });
    queue.asyncAfter(10'000'000, [&] { order.push_back(2); });
    done.get_future().wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(firstRanAt - start, 10'000'000u);
}

TEST(SerialQueue, DestroyingTheQueueDropsPendingWork) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test.drop");
        std::promise<void> release;
        auto gate = release.get_future().share();
        queue.async([gate] { gate.wait(); });
        queue.async([&] { ++ran; });
        queue.asyncAfter(1'000'000, [&] { ++ran; });
        release.set_value();
        // The destructor may win the race with the first item; either way
        // nothing runs once it returns.
    }
    const int after = ran.load();
    SerialQueue witness("test.drop.witness");
    passDeadline(witness, 5'000'000); // past the dropped one's deadline
    EXPECT_EQ(ran.load(), after);
}

TEST(SerialQueue, QueueCanBeReleasedFromItsOwnWork) {
    auto queue = std::make_shared<SerialQueue>("test.self");
    std::promise<void> done;
    queue->async([&queue, &done] {
        queue.reset(); // the last owner lets go from the queue's own thread
        done.set_value();
    });
    done.get_future().wait();
    EXPECT_EQ(queue, nullptr);
}

TEST(DispatchTimer, RepeatsUntilCancelledAndNeverAfter) {
    SerialQueue queue("test.timer");
    auto timer = DispatchTimer::make(queue);
    std::atomic<int> fired{0};
    std::promise<void> third;
    timer->setHandler([&] {
        if (++fired == 3) {
            timer->cancel(); // on the queue itself: final
            third.set_value();
        }
    });
    timer->schedule(queue.nowNs() + 2'000'000, 2'000'000, 500'000);
    timer->resume();
    third.get_future().wait();
    passDeadline(queue, 5'000'000); // past a fourth period and its leeway
    EXPECT_EQ(fired.load(), 3);
    EXPECT_TRUE(timer->isCancelled());
}

TEST(DispatchTimer, DoesNotFireBeforeResumeAndNotAfterItsOwnerIsGone) {
    SerialQueue queue("test.timer.owner");
    std::atomic<int> fired{0};
    {
        auto timer = DispatchTimer::make(queue);
        timer->setHandler([&] { ++fired; });
        timer->schedule(queue.nowNs() + 1'000'000, 1'000'000);
        passDeadline(queue, 3'000'000);
        EXPECT_EQ(fired.load(), 0); // never resumed
        timer->resume();
        ASSERT_TRUE(testing::eventually([&] { return fired.load() > 0; }));
    } // the owner drops the timer
    drain(queue);
    const int after = fired.load();
    passDeadline(queue, 3'000'000);
    EXPECT_EQ(fired.load(), after);
}

TEST(SerialQueue, IdleQueuesHoldNoThreads) {
    DispatchRuntime runtime;
    WorkerPool& pool = *runtime.pool();
    const std::size_t before = pool.threads();
    std::vector<std::unique_ptr<SerialQueue>> queues;
    std::atomic<int> fired{0};
    for (int i = 0; i < 200; ++i) {
        queues.push_back(std::make_unique<SerialQueue>("test.idle"));
        queues.back()->asyncAfter(60'000'000'000ULL, [&] { ++fired; });
        drain(*queues.back());
    }
    // A thread finishing one queue's turn may not be back in time for the
    // next queue's work, so a few may start; nothing like one per queue.
    EXPECT_LE(pool.threads(), before + 16);
    queues.clear(); // their delayed work goes with them
    EXPECT_EQ(fired.load(), 0);
}

// Each sync holds its thread while the next queue runs: the chain ends only
// if threads past the cap start for work that waited the grace.
TEST(SerialQueue, AChainOfSyncsAcrossManyQueuesNeverRunsOutOfThreads) {
    constexpr int depth = 64;
    for (const WorkerPool::Limits limits :
         {WorkerPool::Limits::forThisMachine(), WorkerPool::Limits{.softCap = 2, .grace = 1ms}}) {
        SCOPED_TRACE(limits.softCap);
        DispatchRuntime runtime(limits);
        std::vector<std::unique_ptr<SerialQueue>> queues;
        for (int i = 0; i < depth; ++i) queues.push_back(std::make_unique<SerialQueue>("test.chain"));
        int reached = 0;
        std::function<void(int)> descend = [&](int i) {
            if (i == depth) {
                reached = i;
                return;
            }
            queues[i]->sync([&, i] { descend(i + 1); });
        };
        descend(0);
        EXPECT_EQ(reached, depth);
    }
}

// Short work arriving on many queues at once shares the threads up to the
// cap instead of starting one per busy moment.
TEST(WorkerPool, ABurstOfShortTasksFromManyQueuesStaysWithinTheCap) {
    // No short task waits this long: only a blocked thread could pass the cap.
    DispatchRuntime runtime(WorkerPool::Limits{.softCap = 3, .grace = 5s});
    const WorkerPool& pool = *runtime.pool();
    std::vector<std::unique_ptr<SerialQueue>> queues;
    for (int i = 0; i < 64; ++i) queues.push_back(std::make_unique<SerialQueue>("test.burst"));
    std::atomic<std::size_t> most{0};
    std::atomic<int> ran{0};
    for (int round = 0; round < 20; ++round) {
        for (auto& queue : queues) {
            queue->async([&] {
                // Busy long enough that the next queues' work finds every thread taken.
                const auto until = std::chrono::steady_clock::now() + 50us;
                while (std::chrono::steady_clock::now() < until) {
                }
                const std::size_t now = pool.threads();
                std::size_t seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                ++ran;
            });
        }
    }
    for (auto& queue : queues) drain(*queue);
    EXPECT_EQ(ran.load(), 64 * 20);
    EXPECT_LE(most.load(), 3u);
    EXPECT_LE(pool.threads(), 3u);
}

// The program's runtime: queues made while it lives run on it, its end
// waits for every thread and drops delayed work, and a queue that outlives
// it still runs what it is given, on the asking thread.
TEST(DispatchRuntime, ItsEndWaitsForItsThreadsAndQueuesMadeOnItStillWork) {
    auto runtime = std::make_unique<DispatchRuntime>();
    const std::shared_ptr<WorkerPool> pool = runtime->pool();
    ASSERT_EQ(&DispatchRuntime::current(), runtime.get());
    std::vector<std::unique_ptr<SerialQueue>> queues;
    std::atomic<int> ran{0};
    std::atomic<int> late{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    for (int i = 0; i < 4; ++i) {
        queues.push_back(std::make_unique<SerialQueue>("test.runtime"));
        queues.back()->async([&, released] {
            released.wait();
            ++ran;
        });
        queues.back()->asyncAfter(60'000'000'000ULL, [&] { ++late; });
    }
    EXPECT_EQ(pool->threads(), 4u); // each blocked item holds a thread
    release.set_value();
    runtime.reset(); // running items finish first
    EXPECT_EQ(ran.load(), 4);
    EXPECT_EQ(pool->threads(), 0u);

    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id ranOn;
    queues.front()->async([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, caller);
    queues.clear();
    EXPECT_EQ(late.load(), 0);
}

// A thread's own end (its thread-local destructors) comes after it left the
// pool. One that retired from a pool nobody stops, as the process's own
// runtime is, must still be joined before the program ends: here its end
// can only finish once the exit began, and is seen to.
TEST(WorkerPool, AThreadThatRetiredFromAPoolNeverStoppedIsJoinedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static std::atomic<bool> exiting = false;
            struct EndsAfterTheExitBegan {
                ~EndsAfterTheExitBegan() {
                    exiting.wait(false);
                    constexpr char said[] = "thread ended\n";
                    (void)!::write(2, said, sizeof said - 1);
                }
            };
            auto* pool = new WorkerPool; // never stopped
            // Runs before the pool's own exit work, as it is registered later.
            std::atexit([] {
                exiting = true;
                exiting.notify_all();
            });
            pool->run([] {
                static thread_local EndsAfterTheExitBegan lastOfTheThread;
                (void)&lastOfTheThread;
            });
            if (!testing::eventually([&] { return pool->threads() == 0; })) std::_Exit(2);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "thread ended");
}

TEST(LockedBox, GuardsItsValueAcrossThreads) {
    LockedBox<int> box(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) box.withLock([](int& v) { ++v; });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(box.get(), 40000);
    EXPECT_EQ(box.exchange(5), 40000);
    EXPECT_EQ(box.get(), 5);
}

} // namespace
} // namespace quillmere
