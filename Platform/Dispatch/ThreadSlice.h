#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// The time a thread asks the kernel's fair scheduler to run for once it
// runs (its slice). A thread that asks for less than the busy threads it
// shares a CPU with gets that CPU as soon as it wakes, instead of after the
// running one's slice (about 3 ms): the wake-ups that carry a frame from
// capture to sending wait far less when the machine is busy. The request
// passes to the threads the thread starts. Any user may ask; kernels
// before 6.12 ignore it.
class ThreadSlice {
public:
    // For the pipeline's threads: their bursts mostly end within it.
    static constexpr std::uint64_t mediaNs = 1'000'000;

    // For the calling thread, keeping its policy and nice value; false when
    // the kernel refused.
    static bool request(std::uint64_t ns);
    // The calling thread's slice now, asked for or the kernel's own; nothing
    // when the kernel does not tell.
    static std::optional<std::uint64_t> current();
};

} // namespace quillmere
