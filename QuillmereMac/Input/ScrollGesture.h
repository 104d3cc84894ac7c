#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// A pixel-scroll gesture in progress: open from its first pixel scroll until
// idleNs pass without another.
struct ScrollGesture {
    std::uint64_t idleNs = 90'000'000;
    // The last pixel scroll of the open gesture; none when closed.
    std::optional<std::uint64_t> lastNs;

    bool operator==(const ScrollGesture&) const = default;
};

} // namespace quillmere
