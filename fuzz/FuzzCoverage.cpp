// GCC's -fsanitize-coverage=trace-pc calls __sanitizer_cov_trace_pc at every
// basic block. libFuzzer reads coverage from a table of 8-bit counters and a
// matching table of program counters; this maps each calling block into them
// by its address. Collisions only make two blocks count as one.
//
// This file itself must not be instrumented.

#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);
extern "C" void __sanitizer_cov_pcs_init(const std::uintptr_t* start, const std::uintptr_t* stop);

namespace {

constexpr std::size_t slotCount = 1u << 16;
std::uint8_t counters[slotCount];
// Pairs of program counter and flags, as libFuzzer expects.
std::uintptr_t programCounters[2 * slotCount];

__attribute__((constructor)) void registerCoverageTables() {
    __sanitizer_cov_8bit_counters_init(counters, counters + slotCount);
    __sanitizer_cov_pcs_init(programCounters, programCounters + 2 * slotCount);
}

} // namespace

extern "C" __attribute__((no_sanitize_address, no_sanitize_undefined)) void __sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    const std::size_t slot = (pc ^ (pc >> 16)) & (slotCount - 1);
    programCounters[2 * slot] = pc;
    ++counters[slot];
}

// GCC also traces floating-point comparisons, which libFuzzer has no use for.
extern "C" void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" void __sanitizer_cov_trace_cmpd(double, double) {}
