#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// Turns the control stream, handed over in pieces of any size, back into
// messages. The first failure is final: every later push fails with it.
class ControlFrameDecoder {
public:
    // Frame flags bit: the receiver may skip a message whose type it does not know.
    static constexpr std::uint16_t ignorableFlag = 1;

    ControlFrameDecoder() = default;

    // The messages completed by these bytes, in stream order. A header with
    // reserved flags or an oversized length fails as soon as its 8 bytes are
    // here, without waiting for the payload. Messages completed earlier in a
    // failing call are dropped with it.
    WireResult<std::vector<ControlMessage>> push(ByteView bytes);

    // Bytes of the incomplete frame held back; 0 once failed.
    std::size_t bufferedCount() const { return buffer_.size(); }
    const std::optional<WireError>& failure() const { return failure_; }

private:
    std::unexpected<WireError> fail(WireError error);

    // At most one incomplete frame: a whole frame never waits here.
    Bytes buffer_;
    std::optional<WireError> failure_;
};

} // namespace quillmere
