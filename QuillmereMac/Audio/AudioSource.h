#pragma once

#include "QuillmereMac/Audio/PCMChunk.h"
#include "QuillmereMac/Capture/CaptureStartError.h"

#include <expected>
#include <functional>

namespace quillmere {

// Called on the source's own queue, one chunk at a time.
using PCMChunkHandler = std::function<void(PCMChunk)>;

// Something that delivers sound: captured applications, or the click track.
// Held by shared pointer; started once.
class AudioSource {
public:
    virtual ~AudioSource() = default;

    // Returns once the source runs, or with why it cannot.
    virtual std::expected<void, CaptureStartError> start(PCMChunkHandler handler) = 0;
    // Returns once delivery ended: the handler is not called again.
    virtual void stop() = 0;
};

} // namespace quillmere
