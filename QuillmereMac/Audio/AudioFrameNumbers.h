#pragma once

#include <atomic>
#include <cstdint>

namespace quillmere {

// The frame numbers one client's audio streams share. A stream counts on
// from the newest number any stream of the client used, so a stream made
// again (its surface resumed, its route changed, sharing begun anew) never
// numbers below what the client already played: a receiver drops a packet
// that is not newer than the last it took, and the generation and the
// announcement stay the same across such restarts.
class AudioFrameNumbers {
public:
    // 0 before any number was used.
    std::uint32_t newest() const { return newest_.load(std::memory_order_acquire); }
    // A stream used this number; from the stream's queue.
    void used(std::uint32_t number);

private:
    std::atomic<std::uint32_t> newest_{0};
};

} // namespace quillmere
