#include "Platform/DisplayConfiguration/VirtualMonitorX11.h"
#include "TestSupport/RandrTestServer.h"

#include <gtest/gtest.h>

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
    ASSERT_TRUE(runThenKill([&] {
        auto monitor = VirtualMonitorX11::make(XcbConnection::opener(server.displayName()),
                                               {"Quillmere Wide 21:9", "Quillmere Wide 21:9 7", 3440, 1440});
        // Kept until the process is killed, as a dying host keeps it.
        return monitor && monitor->release()->mirror().has_value();
    }));

    // The server keeps all of it.
    EXPECT_TRUE(has(server.monitorNames(), "Quillmere Wide 21:9"));
    EXPECT_TRUE(has(server.modeNames(), "Quillmere Wide 21:9 7"));
    EXPECT_EQ(server.screenSize(), std::make_pair(3440, 1440));
    EXPECT_EQ(server.shownMode(), std::make_pair(3440, 1440));

    EXPECT_EQ(VirtualMonitorX11::removeLeftovers(XcbConnection::opener(server.displayName()), prefix), 1);
    EXPECT_FALSE(has(server.monitorNames(), "Quillmere Wide 21:9"));
    EXPECT_FALSE(has(server.modeNames(), "Quillmere Wide 21:9 7"));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
    EXPECT_EQ(server.shownMode(), std::make_pair(1920, 1080));
    EXPECT_EQ(VirtualMonitorX11::removeLeftovers(XcbConnection::opener(server.displayName()), prefix), 0);
}

TEST(VirtualMonitorX11, ALargerMonitorThanTheScreenCanHoldChangesNothing) {
    RandrTestServer server;
    ASSERT_TRUE(server.ready()) << server.failure();
    const auto monitor = VirtualMonitorX11::make(XcbConnection::opener(server.displayName()),
                                                 {"Quillmere Huge", "Quillmere Huge 1", 6000, 1440});
    ASSERT_FALSE(monitor.has_value());
    EXPECT_EQ(monitor.error().code, DisplayConfigurationError::Code::tooLarge);
    EXPECT_FALSE(has(server.monitorNames(), "Quillmere Huge"));
    EXPECT_FALSE(has(server.modeNames(), "Quillmere Huge 1"));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
    EXPECT_EQ(VirtualMonitorX11::removeLeftovers(XcbConnection::opener(server.displayName()), prefix), 0);
}

} // namespace
} // namespace quillmere::testing
