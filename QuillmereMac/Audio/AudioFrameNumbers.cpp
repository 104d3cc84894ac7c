#include "QuillmereMac/Audio/AudioFrameNumbers.h"

#include "QuillmereWire/SequenceNumber.h"

namespace quillmere {

void AudioFrameNumbers::used(std::uint32_t number) {
    std::uint32_t seen = newest_.load(std::memory_order_relaxed);
    // Streams of one client may run side by side, each on its own queue.
    while (isNewer(number, seen) &&
           !newest_.compare_exchange_weak(seen, number, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

} // namespace quillmere
