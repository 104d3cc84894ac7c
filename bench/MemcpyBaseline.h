#pragma once

// The baseline every codec benchmark is reported against: copying the same
// bytes with memcpy, measured in the same run on the same machine.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace quillmere::bench {

using Clock = std::chrono::steady_clock;

// Nanoseconds per byte of copying bytes as one block, repeated for about 20 ms.
inline double memcpyNanosPerByte(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> target(bytes.size());
    std::size_t rounds = 0;
    const auto start = Clock::now();
    auto elapsed = Clock::duration::zero();
    do {
        for (int i = 0; i < 64; ++i) {
            std::memcpy(target.data(), bytes.data(), bytes.size());
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
        rounds += 64;
        elapsed = Clock::now() - start;
    } while (elapsed < std::chrono::milliseconds(20));
    return std::chrono::duration<double, std::nano>(elapsed).count() / (static_cast<double>(rounds) * bytes.size());
}

// Times the benchmark loop itself, to set it against the baseline.
class LoopTimer {
public:
    LoopTimer() : start_(Clock::now()) {}
    double nanosPerByte(std::size_t iterations, std::size_t bytesPerIteration) const {
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start_).count();
        return ns / (static_cast<double>(iterations) * static_cast<double>(bytesPerIteration));
    }

private:
    Clock::time_point start_;
};

// Counters shared by every codec benchmark: throughput, and how many times
// slower than memcpy of the same bytes the work was ("xMemcpy", lower is better).
inline void reportAgainstMemcpy(benchmark::State& state, double codecNsPerByte, double memcpyNsPerByte,
                                std::size_t bytesPerIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerIteration));
    state.counters["xMemcpy"] = codecNsPerByte / memcpyNsPerByte;
    state.counters["memcpyNsPerKiB"] = memcpyNsPerByte * 1024.0;
}

} // namespace quillmere::bench
