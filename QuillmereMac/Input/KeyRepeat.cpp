#include "QuillmereMac/Input/KeyRepeat.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

std::uint64_t keyRepeatNs(std::optional<double> milliseconds, double defaultMs, double minimumMs) {
    double value = milliseconds.value_or(defaultMs);
    if (!std::isfinite(value) || value > KeyRepeat::longestMs) value = defaultMs;
    return static_cast<std::uint64_t>(std::max(minimumMs, value) * 1e6);
}

KeyRepeat KeyRepeat::from(const std::optional<EventPosting::KeyRepeatRate>& rate) {
    KeyRepeat repeat;
    repeat.delayNs = keyRepeatNs(rate ? std::optional(rate->delayMs) : std::nullopt, defaultDelayMs, minimumDelayMs);
    repeat.intervalNs =
        keyRepeatNs(rate ? std::optional(rate->intervalMs) : std::nullopt, defaultIntervalMs, minimumIntervalMs);
    return repeat;
}

} // namespace quillmere
