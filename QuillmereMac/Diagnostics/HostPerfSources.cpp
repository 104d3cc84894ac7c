#include "QuillmereMac/Diagnostics/HostPerfSources.h"

#include "QuillmereMac/HostConnection/HostConnection.h"

#include <algorithm>
#include <vector>

namespace quillmere {

HostPerfLog::SurfaceSample HostPerfSources::sample(SurfacePipeline& pipeline) {
    HostPerfLog::SurfaceSample sample;
    sample.choice = pipeline.choice();
    pipeline.queue().sync([&] {
        sample.perf = pipeline.perfSnapshot();
        sample.fps = pipeline.fps();
    });
    if (auto connection = std::dynamic_pointer_cast<HostConnection>(pipeline.connection()))
        sample.transport = connection->transportMetrics(pipeline.surfaceID());
    return sample;
}

HostPerfLog::Providers HostPerfSources::of(std::weak_ptr<MediaPipeline> pipeline,
                                           std::shared_ptr<VirtualDisplayController> virtualDisplay) {
    HostPerfLog::Providers providers;
    providers.surfaces = [pipeline] {
        PerfSurfaces samples;
        const auto media = pipeline.lock();
        if (!media) return samples;
        for (const auto& [key, surface] : media->surfaceTable().all()) samples.emplace(key, sample(*surface));
        return samples;
    };
    providers.pacer = [pipeline]() -> std::optional<DatagramPacer::Metrics> {
        const auto media = pipeline.lock();
        return media ? media->pacerSnapshot() : std::nullopt;
    };
    providers.audioRoutes = [pipeline] {
        std::map<std::uint32_t, AudioRouting::Route> routes;
        const auto media = pipeline.lock();
        if (!media) return routes;
        // Keyed by surface number like the surfaces: the lowest surface's connection's stays.
        std::vector<std::shared_ptr<MediaConnection>> connections;
        for (const auto& [key, surface] : media->surfaceTable().all()) {
            if (std::find(connections.begin(), connections.end(), surface->connection()) == connections.end())
                connections.push_back(surface->connection());
        }
        for (const auto& connection : connections) routes.merge(media->audio().routes(connection));
        return routes;
    };
    providers.screenShape = [virtualDisplay] {
        return std::string(screenShapeName(virtualDisplay ? virtualDisplay->shape() : ScreenShape::standard));
    };
    return providers;
}

} // namespace quillmere
