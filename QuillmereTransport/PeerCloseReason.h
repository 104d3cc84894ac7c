#pragma once

#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <string>
#include <variant>

namespace quillmere {

// Why a peer connection finished. Equality compares the case and its
// payload (texts byte for byte).
class PeerCloseReason {
public:
    enum class Kind : std::uint8_t { failed, protocolError, local, remote };

    static PeerCloseReason failed(std::string description) { return PeerCloseReason(Kind::failed, std::move(description)); }
    // Nobody completed the handshake in time.
    static PeerCloseReason handshakeTimeout() { return failed("handshake timeout"); }
    // The peer left too much of what was sent to it on the control stream.
    static PeerCloseReason stoppedReading() { return failed("the peer stopped reading its control stream"); }
    static PeerCloseReason protocolError(WireError error) { return PeerCloseReason(std::move(error)); }
    static PeerCloseReason local() { return PeerCloseReason(Kind::local, {}); }
    static PeerCloseReason remote() { return PeerCloseReason(Kind::remote, {}); }

    Kind kind() const { return kind_; }
    // The failure's text; empty for the other cases.
    const std::string& text() const { return text_; }
    // The decoding or encoding error of protocolError.
    const WireError* wireError() const { return std::get_if<WireError>(&error_); }

    // failed("handshake timeout"), protocolError(truncated), local, remote
    std::string description() const;

    bool operator==(const PeerCloseReason&) const = default;

private:
    PeerCloseReason(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    explicit PeerCloseReason(WireError error) : kind_(Kind::protocolError), error_(std::move(error)) {}

    Kind kind_;
    std::string text_;
    std::variant<std::monostate, WireError> error_;
};

} // namespace quillmere
