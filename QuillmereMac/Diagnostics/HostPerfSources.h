#pragma once

#include "QuillmereMac/Diagnostics/HostPerfLog.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"
#include "QuillmereMac/Media/MediaPipeline.h"

#include <cstdint>
#include <map>
#include <memory>

namespace quillmere {

// The diagnostics log's providers bound to the media pipeline: its surfaces
// (each surface's figures read on its own queue, its sender's on its
// connection's queue), its pacer, the audio routes of the connections that
// share, and the screen shape in force.
struct HostPerfSources {
    // Without a virtual-display controller the shape is standard.
    static HostPerfLog::Providers of(std::weak_ptr<MediaPipeline> pipeline,
                                     std::shared_ptr<VirtualDisplayController> virtualDisplay);

    // One surface's sample; waits on the surface's and its connection's queues.
    static HostPerfLog::SurfaceSample sample(SurfacePipeline& pipeline);
};

} // namespace quillmere
