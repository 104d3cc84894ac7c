#pragma once

#include "QuillmereMac/Desktop/DesktopEnvironment.h"
#include "QuillmereMac/Media/MediaPipeline.h"

#include <memory>

namespace quillmere {

// The media pipeline's desktop backends, made by a desktop environment over
// the pipeline's catalog: display queries, capture sources, session and
// routed audio, and the cursor. Input, clipboard, raising and displays are
// the composer's to give.
struct PipelineBackends {
    // The click track's interval when the test pattern is shared.
    static constexpr double clickIntervalMs = 500.0;

    // Needs services.catalog.
    static void fill(MediaPipeline::Services& services, const std::shared_ptr<DesktopEnvironment>& desktop);
};

} // namespace quillmere
