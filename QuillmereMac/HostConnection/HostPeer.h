#pragma once

#include "QuillmereMac/Sending/DatagramPeer.h"

#include "QuillmereTransport/PeerEvent.h"
#include "QuillmereWire/ControlMessage.h"

#include <functional>
#include <memory>

namespace quillmere {

class PeerConnection;

// What a host connection uses of its client's peer connection: the control
// stream, the datagram flow and the events, delivered on queue(). The QUIC
// peer connection is one; tests script another.
class HostPeer : public DatagramPeer {
public:
    using EventHandler = std::function<void(const PeerEvent&)>;

    // Any thread. Events follow on queue(); closed comes last, once.
    virtual void start(EventHandler onEvent) = 0;
    // Any thread; dropped once closed.
    virtual void sendControl(const ControlMessage& message) = 0;
    // Any thread.
    virtual void close(double graceSeconds) = 0;
    // Any thread: video older than this is worth nothing to the client, so
    // the transport drops what waited that long instead of sending it late.
    virtual void limitDatagramAge(std::uint64_t /*maxAgeNs*/) {}
    // On the queue: datagrams the transport dropped for their age.
    virtual std::int64_t datagramsExpired() const { return 0; }

    // The QUIC peer connection as a host peer.
    static std::shared_ptr<HostPeer> over(std::shared_ptr<PeerConnection> connection);
};

} // namespace quillmere
