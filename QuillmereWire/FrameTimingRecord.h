#pragma once

#include "QuillmereWire/AssemblyEvent.h"
#include "QuillmereWire/ClockOffsetEstimator.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// One received video frame's timeline on our clock (nanoseconds). Host
// times are placed on our clock only when a clock estimate exists.
struct FrameTimingRecord {
    std::uint32_t frameID = 0;
    std::uint32_t epoch = 0;
    bool keyframe = false;
    std::int64_t bytes = 0;
    std::optional<std::uint64_t> captureNs;
    std::optional<std::uint64_t> sendNs;
    std::uint64_t firstFragmentNs = 0;
    std::uint64_t assembledNs = 0;
    std::optional<std::uint64_t> submittedNs;
    std::optional<std::uint64_t> decodedNs;
    // Of the offset used for captureNs and sendNs.
    std::optional<std::uint64_t> offsetUncertaintyNs;

    static FrameTimingRecord from(const AssembledFrame& frame,
                                  const std::optional<ClockOffsetEstimator::Estimate>& estimate,
                                  std::optional<std::uint64_t> submittedNs);

    // One JSON object, no spaces, no line break; an absent value is null.
    std::string jsonLine() const;

    bool operator==(const FrameTimingRecord&) const = default;
};

} // namespace quillmere
