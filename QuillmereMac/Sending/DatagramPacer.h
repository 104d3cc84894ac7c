#pragma once

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "QuillmereBase/SharedBytes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

// Spreads one connection's video datagrams over time with a token bucket and
// holds them back while the network stack stops completing sends (a stall);
// datagrams that waited too long in a stall are dropped, not sent late.
// Everything runs on the connection's queue, which must outlive the pacer.
class DatagramPacer : public std::enable_shared_from_this<DatagramPacer> {
public:
    struct Config {
        double bytesPerSecond = 40'000'000.0;
        double burstBytes = 24'000.0;
        // A send this old without completion is a stall.
        std::uint64_t stallNs = 40'000'000;
        // A queued datagram older than this when a stall ends is dropped.
        std::uint64_t staleNs = 80'000'000;

        bool operator==(const Config&) const = default;
    };

    struct Metrics {
        std::int64_t paced = 0;
        std::int64_t immediate = 0;
        std::int64_t maxDelayNs = 0;
        std::int64_t totalDelayNs = 0;
        std::int64_t maxQueued = 0;
        std::int64_t stackSamples = 0;
        std::int64_t stackTotalNs = 0;
        std::int64_t stackMaxNs = 0;
        std::int64_t stalls = 0;
        std::int64_t staleDropped = 0;
        std::int64_t maxStallNs = 0;

        bool operator==(const Metrics&) const = default;
    };

    using Completion = std::function<void(bool sent)>;
    // Hands one datagram to the transport; the completion may run on any thread.
    using RawSend = std::function<void(SharedBytes bytes, Completion completion)>;
    using ClockFunction = std::function<std::uint64_t()>;

    static constexpr std::uint64_t stallRecheckNs = 5'000'000;
    static constexpr std::uint64_t minimumWaitNs = 50'000;
    static constexpr std::uint64_t timerLeewayNs = 100'000;

    // With the default configuration (40 MB/s, bursts of 24,000 bytes).
    static std::shared_ptr<DatagramPacer> make(Executor& queue, ClockFunction clock, RawSend rawSend);
    static std::shared_ptr<DatagramPacer> make(Executor& queue, ClockFunction clock, RawSend rawSend, Config config);

    // Sends or queues one datagram. The completion runs exactly once: with the
    // transport's result, or with false when the datagram is dropped as stale
    // or discarded by close().
    void send(SharedBytes bytes, Completion completion);
    // Stops the timer and completes every waiting datagram with false. Sends
    // still in the transport complete later without touching the new state.
    void close();

    // Told how many datagrams were just dropped as stale when a stall ended.
    std::function<void(std::int64_t count)> onStaleDropped;

    const Config& config() const { return config_; }
    const Metrics& metrics() const { return metrics_; }
    // The diagnostics reader's reset: each reading reports the largest stack
    // delay since the one before.
    void resetStackMax() { metrics_.stackMaxNs = 0; }

    std::size_t waitingCount() const { return pending_.size() - head_; }
    std::size_t inFlightCount() const { return inFlight_.size() - inFlightHead_; }
    double tokens() const { return static_cast<double>(tokensNano_) / 1e9; }
    std::optional<std::uint64_t> stallStartedAt() const { return stallStartedAt_; }
    bool hasTimer() const { return timerArmed_; }

    DatagramPacer(Executor& queue, ClockFunction clock, RawSend rawSend, Config config);
    ~DatagramPacer();
    DatagramPacer(const DatagramPacer&) = delete;
    DatagramPacer& operator=(const DatagramPacer&) = delete;

private:
    struct Entry {
        SharedBytes bytes;
        std::uint64_t enqueuedAt = 0;
        Completion completion;
    };

    void refill();
    bool stalled(std::uint64_t now);
    void transmit(SharedBytes bytes, Completion completion);
    void completed(std::uint64_t closeGeneration, std::uint64_t elapsedNs);
    void dropStale();
    void drain();
    void arm(std::uint64_t delayNs);
    // Tokens a datagram needs: its length, but never more than the bucket
    // holds, so that an oversized datagram waits for a full bucket, not for ever.
    std::int64_t needed(const SharedBytes& bytes) const;
    static std::int64_t nano(std::size_t bytes);
    void compact();

    Config config_;
    Metrics metrics_;
    Executor& queue_;
    ClockFunction clock_;
    RawSend rawSend_;
    std::vector<std::uint64_t> inFlight_;
    std::size_t inFlightHead_ = 0;
    std::optional<std::uint64_t> stallStartedAt_;
    // The bucket counts in billionths of a byte, so that a refill over n
    // nanoseconds adds exactly n times the byte rate: the schedule a wait
    // computes is the one the next refill finds, with no rounding between.
    std::int64_t rate_;
    std::int64_t burstNano_;
    std::int64_t tokensNano_;
    std::uint64_t refilledAt_;
    std::vector<Entry> pending_;
    std::size_t head_ = 0;
    std::shared_ptr<DispatchTimer> timer_;
    bool timerArmed_ = false;
    // Raised by close(): completions of sends made before it no longer
    // account for the in-flight list, which close() emptied.
    std::uint64_t closeGeneration_ = 0;
};

} // namespace quillmere
