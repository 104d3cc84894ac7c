#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Quic/HandshakeBudget.h"
#include "Platform/Quic/QuicConfiguration.h"
#include "Platform/Quic/QuicError.h"
#include "Platform/Quic/SocketAddress.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/SharedBytes.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

struct ngtcp2_connection_close_error;

namespace quillmere {

class ConnectionIDTable;
class TlsCredentials;
class UdpEndpoint;

// One QUIC connection (TLS 1.3, streams, RFC 9221 datagrams) over a UDP
// endpoint. All of its state lives on its executor: every call below except
// cancel() and the creators must be made there, and every handler and
// completion runs there, never from inside the QUIC library.
class QuicConnection : public std::enable_shared_from_this<QuicConnection> {
public:
    using StreamID = std::int64_t;

    enum class Role : std::uint8_t { client, server };

    // preparing: handshake under way; waiting: a socket error that may pass
    // (the connection goes on); ready: a client once the server confirmed
    // the handshake, a server once it completed; failed: gone, with the
    // error; cancelled: the peer closed without an error.
    enum class State : std::uint8_t { setup, preparing, waiting, ready, failed, cancelled };

    struct Handlers {
        std::function<void(State, const std::optional<QuicError>&)> stateChanged;
        // A stream this side opened can carry data.
        std::function<void(StreamID)> streamReady;
        // The peer opened a stream.
        std::function<void(StreamID)> peerStreamOpened;
        // In order; fin marks the peer's end of the stream.
        std::function<void(StreamID, ByteView, bool fin)> streamData;
        // The peer reset the stream or asked us to stop sending on it.
        std::function<void(StreamID, const QuicError&)> streamFailed;
        // A client: after openDatagramFlow() once the peer takes datagrams;
        // a server: with the first datagram the client sends. Carries the
        // largest datagram that fits a packet on the current path.
        std::function<void(std::size_t usableSize)> datagramFlowReady;
        // The handler may keep the bytes: no one else writes them.
        std::function<void(SharedBytes)> datagramReceived;
    };

    // true when the datagram went out in a packet, false when it was refused
    // (too large, the connection gone or the send queue full).
    using DatagramCompletion = std::function<void(bool sent)>;

    // A client towards remote over its own connected UDP socket. Nothing is
    // sent before start().
    static std::expected<std::shared_ptr<QuicConnection>, QuicError> connect(const SocketAddress& remote,
                                                                            QuicConfiguration configuration,
                                                                            std::shared_ptr<Executor> executor);
    // What the listener knows of a client it accepts.
    struct Acceptance {
        // The destination ID of the client's very first Initial, when a
        // Retry validated its address in between; empty otherwise.
        Bytes retriedFrom;
        // Held until the handshake ends.
        std::optional<HandshakeBudget::Ticket> handshake;
    };

    // A server for a client's first Initial packet, made by the listener's
    // receive thread. It registers its connection IDs at once and keeps the
    // packets that arrive until start().
    static std::shared_ptr<QuicConnection> accept(std::shared_ptr<UdpEndpoint> endpoint,
                                                  std::shared_ptr<ConnectionIDTable> table,
                                                  std::shared_ptr<TlsCredentials> credentials,
                                                  const QuicConfiguration& configuration,
                                                  std::shared_ptr<Executor> executor, const SocketAddress& remote,
                                                  ByteView firstPacket, Acceptance acceptance = {});

    ~QuicConnection();
    QuicConnection(const QuicConnection&) = delete;
    QuicConnection& operator=(const QuicConnection&) = delete;

    Role role() const;
    Executor& executor() const;
    const std::shared_ptr<Executor>& sharedExecutor() const;
    const SocketAddress& remoteAddress() const;
    const UdpEndpoint& endpoint() const;

    // Installs the handlers and begins the handshake; a closed connection
    // ignores it.
    void start(Handlers handlers);
    // Opens a bidirectional stream now, or as soon as the peer allows one;
    // streamReady follows. Data sent meanwhile waits.
    StreamID openStream();
    void openDatagramFlow();
    // Queues bytes (and the end of the stream) for sending; sent runs once
    // they went out. A stream that is gone drops them.
    void send(StreamID stream, Bytes data, bool fin, std::function<void()> sent = {});
    // A stream's bytes the peer has not acknowledged yet: waiting to go out
    // or waiting for their acknowledgement; 0 for a stream that is gone.
    std::size_t queuedBytes(StreamID stream) const;
    // While paused, a stream's bytes are still delivered but the peer gets no
    // more credit for them, as from a reader that fell behind: it can send
    // only up to its flow-control limit. Resuming gives back what was held.
    void pauseReading(StreamID stream, bool paused);
    // Resets a stream in both directions.
    void cancelStream(StreamID stream, std::uint64_t applicationCode);
    // Allows the peer that many more streams.
    void allowPeerStreams(std::size_t count);

    void sendDatagram(Bytes datagram, DatagramCompletion completion = {});
    // The same, sharing the sender's buffer instead of copying it.
    void sendDatagram(SharedBytes datagram, DatagramCompletion completion = {});
    // One completion, for the last datagram.
    void sendDatagrams(std::vector<Bytes> datagrams, DatagramCompletion completion = {});
    // 0 without a handshake or when the peer takes no datagrams.
    std::size_t usableDatagramSize() const;
    // A datagram that waited longer than this for the congestion window is
    // dropped, its completion told false, rather than sent late; 0: never.
    void setDatagramMaxAge(std::uint64_t maxAgeNs);
    // Datagrams dropped so far for waiting too long.
    std::uint64_t datagramsExpired() const;

    // DER, leaf first.
    std::vector<Bytes> peerCertificates() const;
    std::optional<std::string> selectedProtocol() const;

    // Sends CONNECTION_CLOSE with the application code and reason. No
    // handler runs afterwards.
    void close(std::uint64_t applicationCode, std::string_view reason);
    bool isClosed() const;

    // From any thread: close(0, "") on the executor.
    void cancel();

    // Packets taken by the receive thread, for tests and the listener.
    void enqueuePacket(const SocketAddress& from, ByteView packet);
    void enqueueSocketError(const QuicError& error);

    struct Internals;

private:
    friend struct QuicCallbacks;
    explicit QuicConnection(std::unique_ptr<Internals> internals);

    // QuicConnection.cpp
    void report(State state, std::optional<QuicError> error = std::nullopt);
    void deliverEvents();
    void openPendingStreams();
    void finishWithError(const QuicError& error, int libraryError);

    // QuicConnectionIO.cpp
    std::optional<QuicError> createServerConnection();
    std::optional<QuicError> createClientConnection();
    void processInbox();
    void readPacket(const SocketAddress& from, ByteView packet);
    void writeClose(const ngtcp2_connection_close_error& close);
    void refuseUnstarted(std::uint64_t applicationCode);
    void transmit(ByteView packet);
    void sendClosePacket();
    void armTimer();
    void chooseKeepAlive();
    void onTimer(std::uint64_t deadlineNs);
    void failDatagrams();
    void registerID(ByteView id);
    void unregisterIDs();

    // QuicConnectionFlush.cpp: one round of writing, a packet at a time.
    struct FlushRound;
    enum class Wrote : std::uint8_t { packet, more, nothing, failed };
    void flush();
    void scheduleFlush();
    void expireDatagrams(FlushRound& round);
    Wrote writeDatagram(FlushRound& round);
    Wrote writeStream(FlushRound& round, StreamID id);
    Wrote writeFramesOnly(FlushRound& round);
    Wrote conclude(FlushRound& round, std::ptrdiff_t written);

    std::unique_ptr<Internals> d_;
};

} // namespace quillmere
