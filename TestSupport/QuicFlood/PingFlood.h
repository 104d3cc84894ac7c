#pragma once

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Quic/QuicConnection.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace quillmere::testing {

// A paired client that stops reading: it greets the host, then sends pings
// at a steady rate on its control stream and never reads what comes back.
// Its receive window is its own, so the host can send that much at most.
class PingFlood {
public:
    struct Outcome {
        std::uint64_t pings = 0;
        double seconds = 0;
        // How the host ended the connection and when, from the first ping.
        std::optional<std::string> closedBy;
        double closedAfterSeconds = 0;
    };

    // configuration: the paired identity's, with its receive window.
    static std::expected<std::unique_ptr<PingFlood>, QuicError> connect(const SocketAddress& host,
                                                                      QuicConfiguration configuration, Hello hello);
    ~PingFlood();

    // Pings at rate a second for seconds, or until the host ends the connection.
    Outcome run(int rate, double seconds);

private:
    PingFlood() = default;

    std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("flood.pings");
    std::shared_ptr<QuicConnection> connection_;
    Hello hello_;
    std::mutex mutex_;
    bool ready_ = false;
    std::optional<std::string> ended_;
    std::uint64_t endedAtNs_ = 0;
};

} // namespace quillmere::testing
