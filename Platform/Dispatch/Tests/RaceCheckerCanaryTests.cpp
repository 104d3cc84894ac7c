// The race checker must still see a race against work on the main queue
// through the test programs' own suppressions: a list grown to cover Qt's
// event loop would silence every such race in every test program.

#include "Platform/Dispatch/MainQueue.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/TemporaryFolder.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace quillmere {
namespace {

constexpr const char* childVariable = "QUILLMERE_RACE_CANARY";

int unguarded = 0;

// A worker hands work to the main queue, then writes what that work writes.
// Only a relaxed flag, which orders nothing, makes the main thread write
// second, so that the checker meets the race at its own write every time.
void raceWithTheMainQueue() {
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    std::atomic<bool> workerWrote{false};
    std::thread worker([&] {
        MainQueue::shared().async([&] {
            while (!workerWrote.load(std::memory_order_relaxed)) std::this_thread::yield();
            unguarded = 2;
            QCoreApplication::quit();
        });
        unguarded = 1;
        workerWrote.store(true, std::memory_order_relaxed);
    });
    QCoreApplication::exec();
    worker.join();
}

TEST(RaceCheckerCanary, AWorkerRacingWorkOnTheMainQueueIsReported) {
    if (std::getenv(childVariable) != nullptr) {
        raceWithTheMainQueue();
        return;
    }
#if !defined(QUILLMERE_TSAN)
    GTEST_SKIP() << "only a ThreadSanitizer build (QUILLMERE_TSAN) reports races";
#endif
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const char* options = std::getenv("TSAN_OPTIONS");
    testing::TemporaryFolder folder;
    testing::ChildProcess child(
        {"/proc/self/exe", filter},
        {.environment = testing::environmentWith(
             {{childVariable, "1"},
              {"TSAN_OPTIONS", std::string(options != nullptr ? options : "") + ":halt_on_error=1"}}),
         .output = folder.path() / "child.log"});
    const auto status = child.wait(testing::patience);
    ASSERT_TRUE(status.has_value()) << "the racing child did not end";
    EXPECT_NE(*status, 0) << child.output();
    const std::string output = child.output();
    const auto report = output.find("WARNING: ThreadSanitizer: data race");
    ASSERT_NE(report, std::string::npos) << output;
    EXPECT_NE(output.find("raceWithTheMainQueue", report), std::string::npos) << output;
}

} // namespace
} // namespace quillmere
