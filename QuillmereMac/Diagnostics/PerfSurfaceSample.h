#pragma once

#include "QuillmereMac/Media/SurfacePipeline.h"
#include "QuillmereMac/Sending/TransportMetrics.h"
#include "QuillmereMac/Surface/CaptureChoice.h"
#include "QuillmereMac/Surface/SurfaceKey.h"

#include <cstdint>
#include <map>
#include <optional>

namespace quillmere {

// What the diagnostics log reads of one live surface at a sample.
struct PerfSurfaceSample {
    CaptureChoice choice;
    // Counters, raster, tier frame rate and target bit rate.
    SurfacePipeline::PerfSnapshot perf;
    // The surface's own frame rate, beside the tier's in perf.
    std::int64_t fps = 0;
    // The figures of the surface's sender; none while it has no sender.
    std::optional<TransportMetrics> transport;

    bool operator==(const PerfSurfaceSample&) const = default;
};

// The live surfaces by client and number: two phones may both share a
// surface 1, each with its own figures.
using PerfSurfaces = std::map<SurfaceKey, PerfSurfaceSample, SurfaceKeyOrder>;

} // namespace quillmere
