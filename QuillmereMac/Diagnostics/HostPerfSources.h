#pragma once

#include "QuillmereMac/Diagnostics/HostPerfLog.h"
#include "QuillmereMac/Display/VirtualDisplayController.h"
#include "QuillmereMac/Media/MediaPipeline.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace quillmere {

// The diagnostics log's providers bound to the media pipeline: its surfaces
// (each surface's figures read on its own queue, its sender's on its
// connection's queue), its pacer, and the screen shape in force.
struct HostPerfSources {
    using AudioRoutes = std::function<std::map<std::uint32_t, AudioRouting::Route>()>;

    // Without a virtual-display controller the shape is standard; without
    // audio routes there are none.
    static HostPerfLog::Providers of(std::weak_ptr<MediaPipeline> pipeline,
                                     std::shared_ptr<VirtualDisplayController> virtualDisplay,
                                     AudioRoutes audioRoutes = {});

    // One surface's sample; waits on the surface's and its connection's queues.
    static HostPerfLog::SurfaceSample sample(SurfacePipeline& pipeline);
};

} // namespace quillmere
