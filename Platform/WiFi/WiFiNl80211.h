#pragma once

#include "Platform/WiFi/WiFiStatus.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmere {

// The machine's Wi-Fi link through nl80211 (generic netlink, libnl): the
// first station interface (else the first wireless one), its channel, the
// signal and transmit rate of the access point it is associated with, and
// the noise of the channel in use.
struct WiFiNl80211 {
    // Nothing when the machine has no wireless interface or nl80211 cannot
    // be asked.
    static std::optional<WiFiStatus> read();

    // A channel from its centre frequency (MHz) and nl80211 width code.
    static WiFiStatus::Channel channelOf(std::uint32_t frequencyMHz, std::uint32_t widthCode);

    // Whether an interface of that name is up and running; false when the
    // interface list cannot be read.
    static bool isInterfaceRunning(std::string_view name);
};

} // namespace quillmere
