#pragma once

#include <cstdint>

namespace quillmere {

// The raw uptime clock: one monotonic clock for every subsystem, capture
// time stamps included.
struct Clock {
    static std::uint64_t nowNs();
};

} // namespace quillmere
