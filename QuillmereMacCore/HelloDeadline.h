#pragma once

#include "QuillmereMacCore/Saturating.h"

#include <cstdint>

namespace quillmere {

// How long a peer accepted on the session or the pairing listener may take
// to say hello. Both sides keep a quiet connection alive with pings, so a
// peer that never speaks would otherwise hold its connection, and on the
// pairing listener the one pairing slot, for good.
class HelloDeadline {
public:
    static constexpr std::uint64_t defaultLimitNs = 15'000'000'000ULL;

    // From the moment the peer was accepted, on the caller's clock.
    HelloDeadline(std::uint64_t acceptedAtNs, std::uint64_t limitNs)
        : dueNs_(saturating::add(acceptedAtNs, limitNs)) {}

    std::uint64_t dueNs() const { return dueNs_; }
    bool passed(std::uint64_t nowNs) const { return nowNs >= dueNs_; }

    bool operator==(const HelloDeadline&) const = default;

private:
    std::uint64_t dueNs_;
};

} // namespace quillmere
