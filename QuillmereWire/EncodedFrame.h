#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/MediaHeader.h"

#include <cstdint>

namespace quillmere {

// One encoded video frame (an Annex B access unit) on its way to admission
// and fragmenting. It owns its data.
struct EncodedFrame {
    std::uint32_t surfaceID = 0;
    std::uint32_t epoch = 0;
    std::uint32_t frameID = 0;
    std::uint32_t configGeneration = 0;
    MediaHeader::Flags flags;
    std::uint64_t captureTimeNs = 0;
    Bytes data;

    bool isKeyframe() const { return flags.contains(MediaHeader::Flags::keyframe); }
    // Later frames depend on this one unless it is discardable.
    bool dropForcesRecovery() const { return !flags.contains(MediaHeader::Flags::discardable); }

    bool operator==(const EncodedFrame&) const = default;
};

} // namespace quillmere
