#include "Platform/Log/JournalLogSink.h"
#include "Platform/Log/Logger.h"
#include "Platform/Log/MemoryLogSink.h"
#include "Platform/Log/StandardErrorLogSink.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace quillmere {
namespace {

constexpr const char* subsystem = "com.ornbeck.quillmere.mac";

TEST(Logger, WritesWholeLinesWithSubsystemCategoryAndLevel) {
    auto sink = std::make_shared<MemoryLogSink>();
    const Logger transport(subsystem, "transport", sink);
    const Logger pipeline(subsystem, "pipeline", sink);
    transport.error("listener failed: %{public}s", "address in use");
    pipeline.info("capture stopped: %{public}s", "windowClosed");
    transport.notice("datagram flow ready, usable %{public}ld bytes", 1200L);
    transport.debug("plain");
    transport.fault("%{public}u", 1u);

    using Entry = MemoryLogSink::Entry;
    EXPECT_EQ(sink->entries(), (std::vector<Entry>{
                                   {LogLevel::error, subsystem, "transport", "listener failed: address in use"},
                                   {LogLevel::info, subsystem, "pipeline", "capture stopped: windowClosed"},
                                   {LogLevel::notice, subsystem, "transport", "datagram flow ready, usable 1200 bytes"},
                                   {LogLevel::debug, subsystem, "transport", "plain"},
                                   {LogLevel::fault, subsystem, "transport", "1"},
                               }));
    EXPECT_EQ(sink->lines("pipeline"), std::vector<std::string>{"capture stopped: windowClosed"});
    sink->clear();
    EXPECT_TRUE(sink->lines().empty());
}

TEST(Logger, WithoutASinkWritesToTheDefaultOfTheMoment) {
    const Logger logger(subsystem, "audio");
    auto first = std::make_shared<MemoryLogSink>();
    auto previous = setDefaultLogSink(first);
    logger.notice("one");
    auto second = std::make_shared<MemoryLogSink>();
    EXPECT_EQ(setDefaultLogSink(second), first);
    logger.notice("two");
    setDefaultLogSink(previous);
    EXPECT_EQ(first->lines(), std::vector<std::string>{"one"});
    EXPECT_EQ(second->lines(), std::vector<std::string>{"two"});
}

TEST(Logger, LinesFromManyThreadsStayWholeAndInOrderPerThread) {
    auto sink = std::make_shared<MemoryLogSink>();
    constexpr int threads = 8;
    constexpr int perThread = 300;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            const Logger logger(subsystem, "control", sink);
            for (int i = 0; i < perThread; ++i) logger.notice("thread %{public}d line %{public}d", t, i);
        });
    for (auto& worker : workers) worker.join();
    std::vector<int> next(threads, 0);
    for (const auto& line : sink->lines()) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_EQ(line, "thread " + std::to_string(t) + " line " + std::to_string(i));
        EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++);
    }
    for (int count : next) EXPECT_EQ(count, perThread);
}

TEST(StandardErrorLogSink, WritesOneLinePerRecord) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    {
        const Logger logger(subsystem, "transport", std::make_shared<StandardErrorLogSink>(pipeEnds[1]));
        logger.error("listener failed: %{public}s", "boom");
        logger.info("two\nlines");
    }
    ::close(pipeEnds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    EXPECT_EQ(text, "com.ornbeck.quillmere.mac transport error: listener failed: boom\n"
                    "com.ornbeck.quillmere.mac transport info: two\nlines\n");
}

TEST(SystemLogSink, IsTheJournalOnlyWhenItsSocketExists) {
    const testing::TemporaryFolder folder;
    const std::filesystem::path socketPath = folder.path() / "socket";
    EXPECT_NE(dynamic_cast<StandardErrorLogSink*>(makeSystemLogSink(socketPath).get()), nullptr);

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_NE(dynamic_cast<JournalLogSink*>(makeSystemLogSink(socketPath).get()), nullptr);
    ::close(fd);

    // A plain file by that name is no journal.
    std::filesystem::remove(socketPath);
    std::FILE* file = std::fopen(socketPath.c_str(), "w");
    std::fclose(file);
    EXPECT_NE(dynamic_cast<StandardErrorLogSink*>(makeSystemLogSink(socketPath).get()), nullptr);
}

TEST(JournalLogSink, MapsLevelsToSyslogPriorities) {
    EXPECT_EQ(JournalLogSink::priorityOf(LogLevel::debug), 7);
    EXPECT_EQ(JournalLogSink::priorityOf(LogLevel::info), 6);
    EXPECT_EQ(JournalLogSink::priorityOf(LogLevel::notice), 5);
    EXPECT_EQ(JournalLogSink::priorityOf(LogLevel::warning), 4);
    EXPECT_EQ(JournalLogSink::priorityOf(LogLevel::error), 3);
    EXPECT_EQ(JournalLogSink::priorityOf(LogLevel::fault), 2);
}

} // namespace
} // namespace quillmere
