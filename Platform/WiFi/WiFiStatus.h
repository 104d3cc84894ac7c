#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// What the Wi-Fi interface reports of its link, as a diagnostics log shows it.
struct WiFiStatus {
    enum class Band : std::uint8_t { unknown = 0, ghz2_4 = 1, ghz5 = 2, ghz6 = 3 };

    struct Channel {
        int number = 0;
        Band band = Band::unknown;
        // 20, 40, 80 or 160; 0 for any other width.
        int widthMHz = 0;
        bool operator==(const Channel&) const = default;
    };

    // dBm; 0 while not associated.
    int rssi = 0;
    int noise = 0;
    double txRateMbps = 0;
    // Only while the interface works on a channel.
    std::optional<Channel> channel;

    bool operator==(const WiFiStatus&) const = default;
};

} // namespace quillmere
