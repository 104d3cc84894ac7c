#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereBase/SharedBytes.h"
#include "QuillmereTransport/PeerCloseReason.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <optional>
#include <variant>

namespace quillmere {

// What a peer connection tells its owner, on the connection's queue.
namespace peer {
// The control stream is ready; at most once. Carries the peer's fingerprint.
struct Ready { std::optional<Digest32> fingerprint; bool operator==(const Ready&) const = default; };
// One complete control message.
struct Control { ControlMessage message; bool operator==(const Control&) const = default; };
// The datagram flow is ready; at most once. Carries the usable datagram size.
struct DatagramFlowReady { std::int64_t usableSize = 0; bool operator==(const DatagramFlowReady&) const = default; };
// Shared with the transport's buffer, so keeping it costs no copy.
struct Datagram { SharedBytes bytes; bool operator==(const Datagram&) const = default; };
// The connection finished; exactly once if a handler was installed, and last.
struct Closed { PeerCloseReason reason; bool operator==(const Closed&) const = default; };
} // namespace peer

using PeerEvent = std::variant<peer::Ready, peer::Control, peer::DatagramFlowReady, peer::Datagram, peer::Closed>;

} // namespace quillmere
