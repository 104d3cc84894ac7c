#pragma once

#include "Platform/AudioCapture/AudioCaptureFilter.h"
#include "Platform/AudioCapture/AudioCaptureStream.h"
#include "Platform/AudioCapture/AudioSampleBuffer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Audio/AudioSource.h"

#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

// The sound of the applications a filter admits, captured from the sound
// server. Buffers arrive on the source's queue and become chunks there.
// When the server ends the capture on its own, the source logs it once and
// falls silent until stop.
class ScreenAudioSource final : public AudioSource, public std::enable_shared_from_this<ScreenAudioSource> {
public:
    static constexpr const char* queueLabel = "com.ornbeck.quillmeremac.audio";

    // Without a queue the source makes its own.
    explicit ScreenAudioSource(AudioCaptureFilter filter, std::shared_ptr<Executor> queue = nullptr);
    ~ScreenAudioSource() override;

    std::expected<void, CaptureStartError> start(PCMChunkHandler handler) override;
    void stop() override;

    // A float sample buffer as a chunk: planar buffers interleaved, each
    // read only as far as it holds samples; any other format gives none.
    // Without a time of its own the chunk takes the clock's.
    static std::optional<PCMChunk> makeChunk(const AudioSampleBuffer& buffer,
                                             const std::function<std::uint64_t()>& clock);

private:
    void output(const AudioSampleBuffer& buffer);
    void ended(const AudioCaptureError& error);

    const AudioCaptureFilter filter_;
    const std::shared_ptr<Executor> queue_;
    // Touched on the queue only.
    std::shared_ptr<AudioCaptureStream> stream_;
    PCMChunkHandler onChunk_;
    Logger log_{"com.ornbeck.quillmere.mac", "audio"};
};

} // namespace quillmere
