#pragma once

#include "QuillmereMac/Media/DatagramPeer.h"

#include "QuillmereWire/Bytes.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireID.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace quillmere {

// What a host connection uses of its client's peer connection: the control
// stream, the datagram flow and the events, delivered on queue().
class HostPeer : public DatagramPeer {
public:
    struct Ready {
        std::optional<Digest32> fingerprint;
    };
    struct Control {
        ControlMessage message;
    };
    struct DatagramFlowReady {
        std::int64_t usableSize = 0;
    };
    struct Datagram {
        Bytes bytes;
    };
    struct Closed {
        // The close reason as text, for the log.
        std::string reason;
    };
    using Event = std::variant<Ready, Control, DatagramFlowReady, Datagram, Closed>;
    using EventHandler = std::function<void(const Event&)>;

    // Any thread. Events follow on queue(); closed comes last, once.
    virtual void start(EventHandler onEvent) = 0;
    // Any thread; dropped once closed.
    virtual void sendControl(const ControlMessage& message) = 0;
    // Any thread.
    virtual void close(double graceSeconds) = 0;
};

} // namespace quillmere
