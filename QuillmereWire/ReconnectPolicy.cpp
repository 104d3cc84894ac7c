#include "QuillmereWire/ReconnectPolicy.h"

#include <algorithm>

namespace quillmere {

ReconnectPolicy::ReconnectPolicy(std::uint32_t initialDelayMs, std::uint32_t maxDelayMs, std::int64_t maxAttempts,
                                 std::uint64_t stableAfterNs)
    : initialDelayMs_(std::max<std::uint32_t>(initialDelayMs, 1)),
      maxDelayMs_(std::max(initialDelayMs_, maxDelayMs)),
      maxAttempts_(std::max<std::int64_t>(maxAttempts, 1)),
      stableAfterNs_(stableAfterNs) {}

ReconnectPolicy::Decision ReconnectPolicy::next(bool retryable, std::uint64_t nowNs) {
    if (connectedAtNs_ && nowNs >= *connectedAtNs_ && nowNs - *connectedAtNs_ >= stableAfterNs_) attempt_ = 0;
    connectedAtNs_.reset();
    if (!retryable || attempt_ >= maxAttempts_) return Decision::giveUp();

    // At most 2^32 * 2^16: no overflow in 64 bits.
    const std::uint64_t doubled = std::uint64_t{initialDelayMs_} << std::min(attempt_, maxDoublings);
    const auto delay = static_cast<std::uint32_t>(std::min<std::uint64_t>(doubled, maxDelayMs_));
    ++attempt_;
    return Decision::retry(delay, attempt_);
}

void ReconnectPolicy::reset() {
    attempt_ = 0;
    connectedAtNs_.reset();
}

} // namespace quillmere
