#pragma once

#include "QuillmereViewer/DecodedPicture.h"
#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/ControlMessage.h"

#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// What one frame gave: its pictures, or why it did not decode cleanly. A
// frame with an error counts as corrupt, even when pictures came out.
struct DecodeResult {
    std::vector<DecodedPicture> pictures;
    std::optional<std::string> error;
};

// The decoder of one surface's frames.
class FrameDecoder {
public:
    virtual ~FrameDecoder() = default;

    // The stream's new configuration; its parameter sets go in front of the
    // next keyframes.
    virtual void configure(const StreamConfig& config) = 0;
    virtual DecodeResult decode(const AssembledFrame& frame) = 0;
};

} // namespace quillmere
