#include "QuillmereMac/Desktop/PipelineBackends.h"

#include "QuillmereMac/Audio/ClickTrackSource.h"

namespace quillmere {

void PipelineBackends::fill(MediaPipeline::Services& services, const std::shared_ptr<DesktopEnvironment>& desktop) {
    services.displays = desktop->displayQueries();
    services.makeSource = [factory = std::make_shared<CaptureSourceFactory>(services.catalog, services.displays,
                                                                            desktop->captureStreams())](
                              CaptureChoice choice, RequestedStream requested) {
        return factory->makeSource(choice, requested);
    };
    auto makeAudio = [desktop](AudioCaptureFilter filter) { return desktop->makeAudioSource(std::move(filter)); };
    services.makeAudioSource = [catalog = services.catalog,
                                makeAudio](CaptureChoice choice) -> std::shared_ptr<AudioSource> {
        if (choice.kind == CaptureChoice::Kind::testPattern) return std::make_shared<ClickTrackSource>(clickIntervalMs);
        const auto filter = catalog->displayAudioFilter();
        if (!filter) return nullptr;
        return makeAudio(*filter);
    };
    services.makeRoutedAudioSource = [catalog = services.catalog,
                                      makeAudio](const AudioRouting::Route& route) -> std::shared_ptr<AudioSource> {
        if (std::holds_alternative<AudioRouting::route::ClickTrack>(route))
            return std::make_shared<ClickTrackSource>(clickIntervalMs);
        const auto filter = catalog->audioCaptureFilter(route);
        if (!filter) return nullptr;
        return makeAudio(*filter);
    };
    services.sampleCursor = desktop->cursorSampler();
}

} // namespace quillmere
