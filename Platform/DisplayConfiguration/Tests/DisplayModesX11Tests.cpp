#include "Platform/DisplayConfiguration/DisplayModesX11.h"
#include "Platform/X11/XcbConnection.h"
#include "TestSupport/RandrTestServer.h"

#include <gtest/gtest.h>

namespace quillmere::testing {
namespace {

using Code = DisplayConfigurationError::Code;

class DisplayModesX11Test : public ::testing::Test {
protected:
    RandrTestServer server;
    std::unique_ptr<DisplayModesX11> modes;

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        modes = std::make_unique<DisplayModesX11>(XcbConnection::opener(server.displayName()));
    }

    std::uint32_t modeOf(int width, int height) {
        for (const auto& mode : modes->modes(server.crtc()))
            if (mode.width == width && mode.height == height) return mode.modeID;
        return 0;
    }
};

TEST_F(DisplayModesX11Test, TheMainOutputsModesSwitchWithTheScreen) {
    ASSERT_EQ(modes->mainDisplay(), server.crtc());
    const auto current = modes->currentMode(server.crtc());
    ASSERT_TRUE(current.has_value());
    EXPECT_EQ(std::make_pair(current->width, current->height), std::make_pair(1920, 1080));
    // 173 MHz over 2576 x 1120.
    EXPECT_NEAR(current->refreshRate, 59.96, 0.01);

    // An interlaced mode is offered but cannot carry a desktop.
    server.addMode({1600, 900, 59000, 1640, 1680, 1760, 903, 908, 934, XCB_RANDR_MODE_FLAG_INTERLACE}, "1600x900i");
    std::vector<std::tuple<int, int, bool>> listed;
    for (const auto& mode : modes->modes(server.crtc())) listed.emplace_back(mode.width, mode.height, mode.usable);
    EXPECT_EQ(listed, (std::vector<std::tuple<int, int, bool>>{
                          {5120, 1440, true}, {1920, 1080, true}, {1600, 900, true}, {1280, 720, true}, {1600, 900, false}}));

    ASSERT_TRUE(modes->setMode(server.crtc(), modeOf(1600, 900)));
    EXPECT_EQ(server.shownMode(), std::make_pair(1600, 900));
    EXPECT_EQ(server.screenSize(), std::make_pair(1600, 900));
    EXPECT_EQ(modes->currentMode(server.crtc())->width, 1600);
    // Larger than the screen is now: it grows first.
    ASSERT_TRUE(modes->setMode(server.crtc(), modeOf(1920, 1080)));
    EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
}

TEST_F(DisplayModesX11Test, RefusedSwitchesLeaveTheDisplayAsItWas) {
    const std::uint32_t notOnTheOutput = server.addMode(RandrTestServer::mode720, "loose", false);
    const std::uint32_t tooLarge = server.addMode({5120, 2880, 938250, 5536, 6104, 7088, 2883, 2888, 2941,
                                                   RandrTestServer::cvtFlags}, "5120x2880");
    struct Case {
        std::uint32_t crtc;
        std::uint32_t mode;
        Code code;
    };
    for (const Case& c : {Case{server.crtc(), 0x7777, Code::noSuchMode}, Case{server.crtc(), notOnTheOutput, Code::refused},
                          Case{server.crtc(), tooLarge, Code::tooLarge}, Case{0x7777, modeOf(1600, 900), Code::noSuchDisplay}}) {
        const auto result = modes->setMode(c.crtc, c.mode);
        ASSERT_FALSE(result.has_value()) << c.mode;
        EXPECT_EQ(result.error().code, c.code) << result.error().description();
        EXPECT_EQ(server.screenSize(), std::make_pair(1920, 1080));
        EXPECT_EQ(server.shownMode(), std::make_pair(1920, 1080));
    }
    EXPECT_FALSE(modes->currentMode(0x7777).has_value());
    EXPECT_TRUE(modes->modes(0x7777).empty());
}

} // namespace
} // namespace quillmere::testing
