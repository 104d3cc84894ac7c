#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Log/Logger.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace quillmere {

// The log of connections that ended before their handshake did (a device
// that is not paired, a client that went silent, junk that got through).
// The first of a burst is written as any closed connection is; the rest
// are counted and written as one line per window, so that a flood of them
// cannot flood the log.
class HandshakeRefusals : public std::enable_shared_from_this<HandshakeRefusals> {
public:
    static constexpr std::uint64_t windowNs = 10'000'000'000ULL;

    // The window's timer runs on executor.
    explicit HandshakeRefusals(Executor& executor) : executor_(executor) {}

    // From any thread; reason as the closed connection describes it.
    void refused(const std::string& reason);

private:
    void windowEnded();

    Executor& executor_;
    Logger log_{"com.ornbeck.quillmere.mac", "transport"};
    std::mutex mutex_;
    bool windowOpen_ = false;
    std::int64_t counted_ = 0;
    std::string lastReason_;
};

} // namespace quillmere
