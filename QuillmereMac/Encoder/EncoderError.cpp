#include "QuillmereMac/Encoder/EncoderError.h"

#include <fmt/format.h>

namespace quillmere {

std::string EncoderError::description() const {
    switch (kind_) {
    case Kind::sessionCreation:
        return fmt::format("VTCompressionSessionCreate failed ({})", status_);
    case Kind::prepare:
        return fmt::format("VTCompressionSessionPrepareToEncodeFrames failed ({})", status_);
    case Kind::hardwareUnavailable:
        return "hardware H.264 encoder unavailable";
    case Kind::codecNotQualified:
        return "HEVC hardware encode is not available on this computer";
    }
    return {};
}

} // namespace quillmere
