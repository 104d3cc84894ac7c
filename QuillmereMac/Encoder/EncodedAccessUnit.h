#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// One encoded frame.
struct EncodedAccessUnit {
    // Annex B: every NAL unit after a 4-byte start code. The parameter sets
    // are not in it.
    Bytes data;
    bool isKeyframe = false;
    // On keyframes: the sequence and picture parameter sets, without start
    // codes. Absent on other frames.
    std::optional<std::vector<Bytes>> parameterSets;
    // From 1, one per admitted frame: a gap means a frame was lost.
    std::uint64_t frameIndex = 0;
    std::uint64_t captureTimeNs = 0;
    // On the raw uptime clock, when the unit was built.
    std::uint64_t encodedAtNs = 0;
    std::uint32_t captureEpoch = 0;
    // On the raw uptime clock, just before the frame went to the encoder.
    std::uint64_t submittedAtNs = 0;
    // The picture the decoder now holds is coarser than the encoder's floor
    // somewhere: encoding it again as a refinement would sharpen it.
    bool refinable = false;

    bool operator==(const EncodedAccessUnit&) const = default;
};

} // namespace quillmere
