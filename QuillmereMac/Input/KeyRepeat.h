#pragma once

#include "Platform/EventPosting/EventPosting.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// The injector's own repeat of the key held last: first after delayNs, then
// every intervalNs, until that key goes up.
struct KeyRepeat {
    static constexpr double defaultDelayMs = 375;
    static constexpr double minimumDelayMs = 150;
    static constexpr double defaultIntervalMs = 90;
    static constexpr double minimumIntervalMs = 15;
    // Longer is no rate anyone set on purpose.
    static constexpr double longestMs = 60'000;

    std::uint64_t delayNs = 0;
    std::uint64_t intervalNs = 0;
    // The usage repeating; none when no key repeats.
    std::optional<std::uint16_t> usage;
    std::uint64_t nextNs = 0;

    bool operator==(const KeyRepeat&) const = default;

    // From the system's rate, floored; the defaults where it says nothing
    // usable.
    static KeyRepeat from(const std::optional<EventPosting::KeyRepeatRate>& rate);
};

// A system repeat value in milliseconds: absent, not a number, infinite or
// absurdly long gives the default; anything below the minimum the minimum.
std::uint64_t keyRepeatNs(std::optional<double> milliseconds, double defaultMs, double minimumMs);

} // namespace quillmere
