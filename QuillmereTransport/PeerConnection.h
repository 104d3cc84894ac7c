#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Quic/QuicConfiguration.h"
#include "Platform/Quic/QuicConnection.h"
#include "Platform/Quic/QuicError.h"
#include "Platform/Quic/SocketAddress.h"
#include "QuillmereTransport/PeerEvent.h"
#include "QuillmereWire/ControlFrameDecoder.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireProtocol.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

// One QUIC connection to one peer as two channels and a stream of events:
// a reliable control stream of control frames, an unreliable datagram flow,
// and PeerEvents delivered to one handler on the connection's own serial
// queue. Everything it holds is touched on that queue only.
class PeerConnection : public std::enable_shared_from_this<PeerConnection> {
public:
    enum class Role : std::uint8_t { client, server };

    using EventHandler = std::function<void(const PeerEvent&)>;
    using DatagramCompletion = std::function<void(bool sent)>;

    // A client sends it once its datagram flow is ready; both sides drop a
    // datagram that is exactly these bytes.
    static constexpr std::array<std::uint8_t, 4> datagramProbe{'Q', 'D', 'G', '1'};
    static constexpr std::string_view clientQueueLabel = "com.ornbeck.quillmeretransport.client";
    static constexpr std::string_view serverQueueLabel = "com.ornbeck.quillmeretransport.server";
    static constexpr std::size_t maxControlRead = 65536;
    static constexpr double defaultHandshakeTimeout = 10.0;
    // How long after the final control message went out a graceful close ends.
    static constexpr double finalMessageDelay = 0.1;
    // What the control stream may hold that the peer has not acknowledged.
    // A frame is at most a header and 65536 bytes of payload; the host's
    // largest messages come close (a cursor shape or a clipboard transfer of
    // about 60 kB, a capture list of 64 windows of about 13 kB). Sixteen such
    // frames let everything the host sends at once wait for a slow link; a
    // peer past them has stopped reading and is let go, not kept in memory.
    static constexpr std::size_t maxQueuedControlBytes =
        16 * (WireProtocol::controlHeaderSize + WireProtocol::maxControlPayload);

    // The client role towards endpoint, on a queue of its own. Nothing starts yet.
    static std::expected<std::shared_ptr<PeerConnection>, QuicError> make(const SocketAddress& endpoint,
                                                                         QuicConfiguration parameters,
                                                                         std::string alpn);
    // The server role over a connection a listener accepted, on that
    // connection's queue. Nothing starts yet.
    static std::shared_ptr<PeerConnection> adopt(std::shared_ptr<QuicConnection> accepted, std::string alpn);

    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    Role role() const { return role_; }
    const std::string& alpn() const { return alpn_; }
    // The connection's queue; owners run their own per-connection work on it too.
    Executor& queue() const { return *queue_; }
    const std::shared_ptr<Executor>& sharedQueue() const { return queue_; }

    // From any thread; each hops to the queue.
    void start(EventHandler onEvent);
    void sendControl(ControlMessage message);
    void close(double grace);
    void cancel();
    // From any thread but the queue's own.
    bool isClosed() const;

    // On the queue only: sent at once, without a hop.
    void sendDatagram(Bytes datagram, DatagramCompletion completion = {});
    // The same, sharing the caller's buffer instead of copying it.
    void sendDatagram(SharedBytes datagram, DatagramCompletion completion = {});
    // One batch, one completion: true for an empty list, false without a flow.
    void sendDatagrams(std::vector<Bytes> datagrams, DatagramCompletion completion = {});
    // 0 without a datagram flow.
    std::int64_t usableDatagramSize() const;
    // From any thread: datagrams that wait longer than this in the transport
    // are dropped, never sent late; their completions receive false.
    void setDatagramMaxAge(std::uint64_t maxAgeNs);
    // On the queue only: how many were dropped so.
    std::int64_t datagramsExpired() const;
    // Read when the control stream became ready.
    std::optional<Digest32> peerFingerprint() const { return peerFingerprint_; }

    // Plain reads, from any thread.
    std::int64_t controlBytesSent() const { return controlBytesSent_.load(std::memory_order_relaxed); }
    std::int64_t datagramsSent() const { return datagramsSent_.load(std::memory_order_relaxed); }
    std::int64_t datagramsReceived() const { return datagramsReceived_.load(std::memory_order_relaxed); }

    // Before start only; read once when the connection starts.
    double handshakeTimeout() const { return handshakeTimeout_; }
    void setHandshakeTimeout(double seconds) { handshakeTimeout_ = seconds; }

private:
    using StreamID = QuicConnection::StreamID;

    PeerConnection(Role role, std::shared_ptr<Executor> queue, std::shared_ptr<QuicConnection> quic, std::string alpn);

    void startOnQueue(EventHandler onEvent);
    QuicConnection::Handlers quicHandlers();
    void stateChanged(QuicConnection::State state, const std::optional<QuicError>& error);
    void openFlows();
    void controlReady();
    void peerStreamOpened(StreamID stream);
    void controlReceived(ByteView bytes, bool complete);
    void datagramFlowReady();
    void datagramReceived(SharedBytes bytes);
    void sendControlOnQueue(const ControlMessage& message);
    void closeOnQueue(double grace);
    std::optional<Digest32> readPeerFingerprint() const;
    void announceReady();
    void deliver(const PeerEvent& event);
    void finish(PeerCloseReason reason);

    const Role role_;
    const std::shared_ptr<Executor> queue_;
    const std::shared_ptr<QuicConnection> quic_;
    const std::string alpn_;

    std::optional<StreamID> control_;
    bool datagramFlow_ = false;
    bool flowsOpened_ = false;
    ControlFrameDecoder decoder_;
    std::shared_ptr<const EventHandler> onEvent_;
    bool closed_ = false;
    bool announcedReady_ = false;
    std::optional<Digest32> peerFingerprint_;
    std::atomic<std::int64_t> controlBytesSent_{0};
    std::atomic<std::int64_t> datagramsSent_{0};
    std::atomic<std::int64_t> datagramsReceived_{0};
    double handshakeTimeout_ = defaultHandshakeTimeout;
};

} // namespace quillmere
