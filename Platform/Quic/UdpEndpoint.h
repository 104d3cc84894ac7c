#pragma once

#include "Platform/Quic/QuicError.h"
#include "Platform/Quic/SocketAddress.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/FileDescriptor.h"

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace quillmere {

// One UDP socket and the thread that receives on it. Sending is safe from
// any thread. Destroying the endpoint stops the thread (from the thread
// itself too, inside a sink) and closes the socket once the thread is out.
class UdpEndpoint {
public:
    // Runs on the receive thread; the bytes are valid during the call only.
    using PacketSink = std::function<void(const SocketAddress& from, ByteView packet)>;
    // A socket error seen while receiving; the thread keeps receiving.
    using ErrorSink = std::function<void(const QuicError& error)>;

    // Largest datagram received; a longer one is dropped. Peers are told so
    // in the QUIC transport parameters.
    static constexpr std::size_t maxDatagramSize = 2048;

    // Bound to local (port 0: any free port). The IPv6 wildcard takes IPv4 too.
    static std::expected<std::shared_ptr<UdpEndpoint>, QuicError> bind(const SocketAddress& local, int trafficClass);
    // A free local port, connected to remote: only its packets arrive, and
    // ICMP errors come back as socket errors.
    static std::expected<std::shared_ptr<UdpEndpoint>, QuicError> connect(const SocketAddress& remote, int trafficClass);

    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Starts the receive thread; a second call does nothing.
    void startReceiving(PacketSink packets, ErrorSink errors);

    const SocketAddress& localAddress() const { return local_; }
    bool isConnected() const { return connected_; }
    // The traffic class the socket really carries (IPv4 TOS byte, else IPv6
    // traffic class), read back from the kernel.
    int trafficClass() const;

    // to is ignored on a connected endpoint. When the socket buffer is full
    // this waits a little for room, then gives up; the QUIC layer treats that
    // as a lost packet.
    std::optional<QuicError> send(const SocketAddress& to, ByteView packet) const;
    // Several packets to one address in as few system calls as the kernel
    // allows: runs of equal-sized packets go as one buffer the kernel cuts
    // apart (UDP GSO) while it takes that, one message per packet otherwise.
    std::optional<QuicError> sendBatch(const SocketAddress& to, std::span<const ByteView> packets) const;
    // False once the kernel refused segmentation offload.
    bool segmentsBatches() const;
    // The socket, for options the endpoint does not set itself.
    int descriptor() const;

    bool isReceiveThread() const;

private:
    struct State;
    UdpEndpoint(FileDescriptor fd, SocketAddress local, bool connected);

    std::shared_ptr<State> state_;
    SocketAddress local_;
    bool connected_;
};

} // namespace quillmere
