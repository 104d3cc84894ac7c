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

    // The QUIC peer connection as a host peer.
    static std::shared_ptr<HostPeer> over(std::shared_ptr<PeerConnection> connection);
};

} // namespace quillmere
