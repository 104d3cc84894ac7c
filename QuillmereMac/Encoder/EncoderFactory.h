#pragma once

#include "QuillmereMac/Encoder/EncoderConfig.h"
#include "QuillmereMac/Encoder/EncoderError.h"
#include "QuillmereMac/Encoder/EncoderSession.h"

#include <expected>
#include <memory>
#include <string>

namespace quillmere {

// Picks the encoder for a configuration: a hardware encoder on the first
// render node where one opens, otherwise (H.264 only) libx264 on the CPU,
// called directly so that it can skip unchanged macroblocks.
struct EncoderFactory {
    struct Choice {
        std::unique_ptr<EncoderSession> session;
        bool usingHardware = false;
        // Which encoder runs and why: the render node, or why none worked.
        std::string hardwareEvidence;
    };

    static std::expected<Choice, EncoderError> make(const EncoderConfig& config);

    // Whether an HEVC hardware encoder opens at 640 x 360 on some render node.
    static bool hevcHardwareAvailable();
};

} // namespace quillmere
