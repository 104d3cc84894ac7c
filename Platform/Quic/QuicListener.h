#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Quic/AddressValidation.h"
#include "Platform/Quic/HandshakeBudget.h"
#include "Platform/Quic/QuicConfiguration.h"
#include "Platform/Quic/QuicError.h"
#include "Platform/Quic/SocketAddress.h"

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>

namespace quillmere {

class ConnectionIDTable;
class QuicConnection;
class TlsCredentials;
class UdpEndpoint;

// Server-role QUIC connections on one UDP socket. Packets reach their
// connection by destination connection ID. A client's first Initial gets a
// Retry; the Initial that returns its token makes a new connection, each on
// an executor of its own, as long as fewer than maxHandshakes handshakes are
// under way (beyond, the client is refused). Whatever else arrives makes
// nothing. Stopping only ends the accepting: connections already made keep
// the socket for as long as they live, and new clients are refused meanwhile.
class QuicListener : public std::enable_shared_from_this<QuicListener> {
public:
    using ExecutorFactory = std::function<std::shared_ptr<Executor>()>;
    // Runs on the receive thread with a connection not yet started.
    using AcceptHandler = std::function<void(std::shared_ptr<QuicConnection>)>;
    // A socket error while receiving, on the receive thread.
    using ErrorHandler = std::function<void(const QuicError&)>;

    // Binds at once, so a port in use fails here. Port 0: any free port, on
    // every address (IPv6 and IPv4).
    static std::expected<std::shared_ptr<QuicListener>, QuicError> make(QuicConfiguration configuration,
                                                                        std::uint16_t port,
                                                                        ExecutorFactory executors);
    static std::expected<std::shared_ptr<QuicListener>, QuicError> make(QuicConfiguration configuration,
                                                                        const SocketAddress& local,
                                                                        ExecutorFactory executors);
    ~QuicListener();

    std::uint16_t port() const;
    int trafficClass() const;
    // Connection IDs currently routed; for tests.
    std::size_t routedConnectionIDs() const;

    static constexpr std::size_t maxHandshakes = 32;

    // What became of packets that no connection took.
    struct Counts {
        std::uint64_t ignored = 0;  // not a client's Initial, or a stale or forged token
        std::uint64_t retries = 0;  // Retry packets sent
        std::uint64_t accepted = 0; // connections made
        std::uint64_t refused = 0;  // too many handshakes, or not accepting
    };
    Counts counts() const;
    std::size_t handshakesInProgress() const { return budget_.inProgress(); }

    void start(AcceptHandler accepted, ErrorHandler failed);
    // From now on new clients are refused with a stateless close; returns
    // after any acceptance under way on the receive thread has finished.
    void stop();

private:
    QuicListener() = default;
    void received(const SocketAddress& from, ByteView packet);
    void refuse(const SocketAddress& from, ByteView packet);

    QuicConfiguration configuration_;
    ExecutorFactory executors_;
    std::shared_ptr<UdpEndpoint> endpoint_;
    std::shared_ptr<ConnectionIDTable> table_;
    std::shared_ptr<TlsCredentials> credentials_;
    AddressValidation validation_;
    HandshakeBudget budget_{maxHandshakes};
    std::atomic<std::uint64_t> ignoredCount_{0};
    std::atomic<std::uint64_t> retryCount_{0};
    std::atomic<std::uint64_t> acceptedCount_{0};
    std::atomic<std::uint64_t> refusedCount_{0};

    std::mutex acceptMutex_;
    AcceptHandler accepted_;
    ErrorHandler failed_;
    bool accepting_ = false;
};

} // namespace quillmere
