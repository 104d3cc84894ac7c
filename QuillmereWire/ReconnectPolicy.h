#pragma once

#include <cstdint>
#include <optional>
#include <variant>

namespace quillmere {

// Whether and when to reconnect after the session connection dropped:
// exponential back-off with a ceiling and an attempt limit; a connection that
// lasted stableAfterNs starts the back-off over. The caller keeps the timer.
class ReconnectPolicy {
public:
    struct Retry {
        std::uint32_t delayMs = 0;
        // 1 for the first retry after a reset.
        std::int64_t attempt = 0;
        bool operator==(const Retry&) const = default;
    };
    struct GiveUp {
        bool operator==(const GiveUp&) const = default;
    };
    struct Decision {
        std::variant<Retry, GiveUp> value;

        static Decision retry(std::uint32_t delayMs, std::int64_t attempt) { return {Retry{delayMs, attempt}}; }
        static Decision giveUp() { return {GiveUp{}}; }
        const Retry* asRetry() const { return std::get_if<Retry>(&value); }
        bool isGiveUp() const { return std::holds_alternative<GiveUp>(value); }
        bool operator==(const Decision&) const = default;
    };

    // The doubling stops after this many steps.
    static constexpr std::int64_t maxDoublings = 16;

    // initialDelayMs is at least 1, maxDelayMs at least initialDelayMs,
    // maxAttempts at least 1.
    ReconnectPolicy(std::uint32_t initialDelayMs, std::uint32_t maxDelayMs, std::int64_t maxAttempts,
                    std::uint64_t stableAfterNs);

    void connected(std::uint64_t atNs) { connectedAtNs_ = atNs; }
    // The connection dropped or an attempt failed; retryable says whether the
    // failure allows another try.
    Decision next(bool retryable, std::uint64_t nowNs);
    void reset();

    std::uint32_t initialDelayMs() const { return initialDelayMs_; }
    std::uint32_t maxDelayMs() const { return maxDelayMs_; }
    std::int64_t maxAttempts() const { return maxAttempts_; }
    std::uint64_t stableAfterNs() const { return stableAfterNs_; }
    std::int64_t attempt() const { return attempt_; }
    std::optional<std::uint64_t> connectedAtNs() const { return connectedAtNs_; }

    bool operator==(const ReconnectPolicy&) const = default;

private:
    std::uint32_t initialDelayMs_;
    std::uint32_t maxDelayMs_;
    std::int64_t maxAttempts_;
    std::uint64_t stableAfterNs_;
    std::int64_t attempt_ = 0;
    std::optional<std::uint64_t> connectedAtNs_;
};

} // namespace quillmere
