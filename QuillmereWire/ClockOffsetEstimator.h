#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace quillmere {

// How far the host's monotonic clock runs ahead of ours, from ping/pong round
// trips. Times are nanoseconds; values above INT64_MAX count as INT64_MAX
// wherever they become signed.
class ClockOffsetEstimator {
public:
    struct Sample {
        // Our clock at the middle of the round trip.
        std::uint64_t clientTimeNs = 0;
        // Host time minus clientTimeNs: positive when the host is ahead.
        std::int64_t offsetNs = 0;
        std::uint64_t rttNs = 0;
        bool operator==(const Sample&) const = default;
    };

    struct Estimate {
        std::int64_t offsetNs = 0;
        std::uint64_t uncertaintyNs = 0;
        double driftPPM = 0;
        // Samples held when the estimate was made.
        std::int64_t samples = 0;
        bool operator==(const Estimate&) const = default;
    };

    static constexpr std::int64_t minCapacity = 4;

    // Capacities below 4 become 4.
    explicit ClockOffsetEstimator(std::int64_t capacity);

    // False, counting it in rejected(), when the reply came back before it was sent.
    bool add(std::uint64_t clientSendNs, std::uint64_t hostNs, std::uint64_t clientReceiveNs);
    std::optional<Estimate> estimate() const;

    // A host time on our clock: hostNs - offsetNs, never negative (0 also
    // when the difference does not fit in 64 signed bits).
    static std::uint64_t clientTimeNs(std::uint64_t hostNs, std::int64_t offsetNs);

    std::int64_t capacity() const { return capacity_; }
    const std::deque<Sample>& samples() const { return samples_; }
    std::int64_t rejected() const { return rejected_; }

    bool operator==(const ClockOffsetEstimator&) const = default;

private:
    std::int64_t capacity_;
    std::deque<Sample> samples_;
    std::int64_t rejected_ = 0;
};

} // namespace quillmere
