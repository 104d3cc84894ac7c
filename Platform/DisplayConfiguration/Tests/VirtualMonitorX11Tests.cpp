#include "Platform/DisplayConfiguration/VirtualMonitorX11.h"
#include "Platform/DisplayConfiguration/Tests/RandrTestServer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace quillmere::testing {
namespace {

constexpr std::string_view prefix = "Quillmere ";

bool has(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(VirtualMonitorX11, WhatAKilledRunLeftIsPutBackAtTheNextStart) {
    RandrTestServer server;
    ASSERT_TRUE(server.ready()) << server.failure();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto monitor = VirtualMonitorX11::make(server.displayName(), {"Quillmere Wide 21:9", "Quillmere Wide 21:9 7", 3440, 1440});
        const bool mirrored = monitor && (*monitor)->mirror().has_value();
        const char done = mirrored ? 'y' : 'n';
        if (::write(ready[1], &done, 1) != 1) ::_exit(2);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char done = 0;
    ASSERT_EQ(::read(ready[0], &done, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_EQ(done, 'y');

    // The server keeps all of it.
    EXPECT_TRUE(has(server.monitorNames(), "Quillmere Wide 21:9"));
    EXPECT_TRUE(has(server.modeNames(), "Quillmere Wide 21:9 7"));
    EXPECT_EQ(server.screenSize(), std::make_pair(3440, 1440));
    EXPECT_EQ(server.shownMode(), std::make_pair(3440, 1440));

    EXPECT_EQ(VirtualMonitorX11::removeLeftovers(server.displayName(), prefix), 1);
    EXPECT_FALSE(has(server.monitorNames(), "Quillmere Wide 21:9"));
    EXPECT_FALSE(has(server.modeNames(), "Quillmere Wide 21:9 7"));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
    EXPECT_EQ(server.shownMode(), std::make_pair(1920, 1080));
    EXPECT_EQ(VirtualMonitorX11::removeLeftovers(server.displayName(), prefix), 0);
}

TEST(VirtualMonitorX11, ALargerMonitorThanTheScreenCanHoldChangesNothing) {
    RandrTestServer server;
    ASSERT_TRUE(server.ready()) << server.failure();
    const auto monitor = VirtualMonitorX11::make(server.displayName(), {"Quillmere Huge", "Quillmere Huge 1", 6000, 1440});
    ASSERT_FALSE(monitor.has_value());
    EXPECT_EQ(monitor.error().code, DisplayConfigurationError::Code::tooLarge);
    EXPECT_FALSE(has(server.monitorNames(), "Quillmere Huge"));
    EXPECT_FALSE(has(server.modeNames(), "Quillmere Huge 1"));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
    EXPECT_EQ(VirtualMonitorX11::removeLeftovers(server.displayName(), prefix), 0);
}

} // namespace
} // namespace quillmere::testing
