#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/MediaHeader.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// The numbers a surface's encoded frames carry: the configuration
// generation (one more for every new set of parameter sets announced) and the
// frame identifiers; the counters wrap through 0. Epochs are the sending
// side's. The first keyframe sent after new parameter
// sets marks the boundary; once sending begins, frames wait for a keyframe.
class FrameNumbering {
public:
    struct Stamp {
        std::uint32_t frameID = 0;
        std::uint32_t configGeneration = 0;
        MediaHeader::Flags flags;
        bool operator==(const Stamp&) const = default;
    };

    // Counting on from the given generation and the last frame identifier
    // (0 and 0 for a new surface: its first frame is 1); nothing is announced yet.
    explicit FrameNumbering(std::uint32_t configGeneration = 0, std::uint32_t lastFrameID = 0)
        : configGeneration_(configGeneration), frameID_(lastFrameID) {}

    // A keyframe's parameter sets: true when they differ from the ones
    // announced last, which makes them the announced ones, under the next
    // configuration generation.
    bool announce(const std::vector<Bytes>& parameterSets);
    // From now on frames wait for a keyframe: those encoded before depend
    // on frames the client never got.
    void beginSending() { awaitingKeyframe_ = true; }
    // The numbers of the next frame sent; nothing when it is held back
    // (nothing announced yet, or no keyframe since sending began).
    std::optional<Stamp> next(bool isKeyframe);

    std::uint32_t configGeneration() const { return configGeneration_; }

private:
    std::uint32_t configGeneration_;
    // Kept apart from the generation, which wraps through 0.
    bool announced_ = false;
    std::vector<Bytes> announcedSets_;
    std::uint32_t frameID_;
    bool boundaryPending_ = false;
    bool awaitingKeyframe_ = false;
};

} // namespace quillmere
