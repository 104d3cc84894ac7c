#include "Platform/Dispatch/Clock.h"

#include <ctime>

namespace quillmere {

std::uint64_t Clock::nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
}

} // namespace quillmere
