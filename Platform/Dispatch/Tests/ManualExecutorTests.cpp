#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/ManualExecutor.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

namespace quillmere {
namespace {

TEST(ManualExecutor, RunsDueWorkAtItsDeadlineOnTheFakeClock) {
    ManualExecutor executor("test", 1000);
    std::vector<std::pair<int, std::uint64_t>> log;
    executor.asyncAfter(50, [&] { log.emplace_back(2, executor.nowNs()); });
    executor.async([&] {
        EXPECT_TRUE(executor.isCurrent());
        log.emplace_back(1, executor.nowNs());
        executor.asyncAfter(10, [&] { log.emplace_back(3, executor.nowNs()); });
    });
    EXPECT_FALSE(executor.isCurrent());
    EXPECT_EQ(executor.runUntilIdle(), 1u);
    EXPECT_EQ(executor.advance(30), 1u);
    EXPECT_EQ(executor.nowNs(), 1030u);
    EXPECT_EQ(executor.advance(100), 1u);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], std::make_pair(1, std::uint64_t{1000}));
    EXPECT_EQ(log[1], std::make_pair(3, std::uint64_t{1010}));
    EXPECT_EQ(log[2], std::make_pair(2, std::uint64_t{1050}));
}

TEST(ManualExecutor, RepeatingTimerSkipsMissedPeriods) {
    ManualExecutor executor("test", 0);
    auto timer = DispatchTimer::make(executor);
    std::vector<std::uint64_t> firedAt;
    timer->setHandler([&] { firedAt.push_back(executor.nowNs()); });
    timer->schedule(100, 100);
    timer->resume();
    executor.advance(350);
    EXPECT_EQ(firedAt, (std::vector<std::uint64_t>{100, 200, 300}));
    timer->cancel();
    executor.advance(1000);
    EXPECT_EQ(firedAt.size(), 3u);
}

TEST(ManualExecutor, RescheduleReplacesThePendingFiring) {
    ManualExecutor executor("test", 0);
    auto timer = DispatchTimer::make(executor);
    int fired = 0;
    timer->setHandler([&] { ++fired; });
    timer->schedule(100);
    timer->resume();
    timer->schedule(500);
    executor.advance(200);
    EXPECT_EQ(fired, 0);
    executor.advance(300);
    EXPECT_EQ(fired, 1);
    executor.advance(1000);
    EXPECT_EQ(fired, 1);
}

TEST(MainQueue, RunsWorkOnTheEventLoopThread) {
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    MainQueue& main = MainQueue::shared();
    EXPECT_TRUE(main.isCurrent());
    std::vector<int> order;
    bool fromWorkerWasOnMain = false;
    std::thread worker([&] {
        EXPECT_FALSE(main.isCurrent());
        main.async([&] {
            fromWorkerWasOnMain = main.isCurrent();
            order.push_back(1);
        });
        main.asyncAfter(2'000'000, [&] {
            order.push_back(2);
            QCoreApplication::quit();
        });
    });
    worker.join();
    QTimer::singleShot(5000, &app, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(fromWorkerWasOnMain);
}

} // namespace
} // namespace quillmere
