#include "QuillmereMacCore/FrameNumbering.h"

namespace quillmere {

bool FrameNumbering::announce(const std::vector<Bytes>& parameterSets) {
    if (parameterSets == announcedSets_) return false;
    ++configGeneration_;
    announced_ = true;
    announcedSets_ = parameterSets;
    boundaryPending_ = true;
    return true;
}

std::optional<FrameNumbering::Stamp> FrameNumbering::next(bool isKeyframe) {
    if (!announced_) return std::nullopt;
    if (awaitingKeyframe_ && !isKeyframe) return std::nullopt;
    awaitingKeyframe_ = false;
    MediaHeader::Flags flags;
    if (isKeyframe) {
        flags = MediaHeader::Flags::keyframe;
        if (boundaryPending_) flags |= MediaHeader::Flags::configChanged;
        boundaryPending_ = false;
    }
    return Stamp{++frameID_, configGeneration_, flags};
}

} // namespace quillmere
