#include "Platform/WiFi/WiFiNl80211.h"

#include <linux/nl80211.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace quillmere {
namespace {

using Band = WiFiStatus::Band;

TEST(WiFiNl80211, ChannelsFromFrequencyAndWidth) {
    struct Case {
        std::uint32_t frequency;
        std::uint32_t width;
        WiFiStatus::Channel channel;
    };
    const Case cases[] = {
        {2412, NL80211_CHAN_WIDTH_20_NOHT, {1, Band::ghz2_4, 20}},
        {2484, NL80211_CHAN_WIDTH_20, {14, Band::ghz2_4, 20}},
        {5180, NL80211_CHAN_WIDTH_40, {36, Band::ghz5, 40}},
        {5745, NL80211_CHAN_WIDTH_80, {149, Band::ghz5, 80}},
        {4920, NL80211_CHAN_WIDTH_20, {184, Band::ghz5, 20}},
        {5935, NL80211_CHAN_WIDTH_20, {2, Band::ghz6, 20}},
        {5955, NL80211_CHAN_WIDTH_160, {1, Band::ghz6, 160}},
        {5500, NL80211_CHAN_WIDTH_80P80, {100, Band::ghz5, 0}},
        {6135, NL80211_CHAN_WIDTH_320, {37, Band::ghz6, 0}},
        {60480, NL80211_CHAN_WIDTH_20, {0, Band::unknown, 20}},
    };
    for (const Case& c : cases) EXPECT_EQ(WiFiNl80211::channelOf(c.frequency, c.width), c.channel) << c.frequency;
}

bool hasWirelessInterface() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", error)) {
        if (std::filesystem::exists(entry.path() / "wireless") || std::filesystem::exists(entry.path() / "phy80211"))
            return true;
    }
    return false;
}

TEST(WiFiNl80211, ThisMachineHasARecordExactlyWhenItHasWiFi) {
    const auto status = WiFiNl80211::read();
    if (!hasWirelessInterface()) {
        EXPECT_EQ(status, std::nullopt);
        return;
    }
    ASSERT_TRUE(status);
    EXPECT_LE(status->rssi, 0);
    EXPECT_GE(status->txRateMbps, 0);
}

TEST(WiFiNl80211, InterfacesUpAndRunning) {
    EXPECT_TRUE(WiFiNl80211::isInterfaceRunning("lo"));
    EXPECT_FALSE(WiFiNl80211::isInterfaceRunning("awdl0"));
    EXPECT_FALSE(WiFiNl80211::isInterfaceRunning(""));
}

} // namespace
} // namespace quillmere
