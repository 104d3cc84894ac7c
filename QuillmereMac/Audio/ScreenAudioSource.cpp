#include "QuillmereMac/Audio/ScreenAudioSource.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"

#include <algorithm>
#include <cstring>

namespace quillmere {

ScreenAudioSource::ScreenAudioSource(AudioCaptureFilter filter, std::shared_ptr<Executor> queue)
    : filter_(std::move(filter)), queue_(queue ? std::move(queue) : std::make_shared<SerialQueue>(queueLabel)) {}

ScreenAudioSource::~ScreenAudioSource() {
    // The capture's thread hands work to the queue: it ends first.
    if (stream_) stream_->stop();
}

std::expected<void, CaptureStartError> ScreenAudioSource::start(PCMChunkHandler handler) {
    queue_->sync([&] { onChunk_ = std::move(handler); });
    auto stream = std::make_shared<AudioCaptureStream>(filter_, AudioCaptureConfiguration{true, 48000, 2});
    std::weak_ptr<ScreenAudioSource> weak = weak_from_this();
    auto started = stream->start(
        queue_,
        [weak](AudioSampleBuffer buffer) {
            if (const auto self = weak.lock()) self->output(buffer);
        },
        [weak](const AudioCaptureError& error) {
            if (const auto self = weak.lock()) self->ended(error);
        });
    if (!started) return std::unexpected(CaptureStartError(started.error()));
    queue_->sync([&] { stream_ = std::move(stream); });
    return {};
}

void ScreenAudioSource::stop() {
    std::shared_ptr<AudioCaptureStream> stream;
    queue_->sync([&] {
        stream = std::move(stream_);
        onChunk_ = nullptr;
    });
    if (stream) stream->stop();
}

void ScreenAudioSource::output(const AudioSampleBuffer& buffer) {
    if (!onChunk_) return;
    if (auto chunk = makeChunk(buffer, &Clock::nowNs)) onChunk_(std::move(*chunk));
}

void ScreenAudioSource::ended(const AudioCaptureError& error) {
    // Nothing comes back until the surface starts a new capture: worth a
    // line, once.
    if (onChunk_) log_.error("audio capture ended: %{public}s", error.reason());
    onChunk_ = nullptr;
}

std::optional<PCMChunk> ScreenAudioSource::makeChunk(const AudioSampleBuffer& buffer,
                                                     const std::function<std::uint64_t()>& clock) {
    const AudioStreamFormat& format = buffer.format;
    if (!format.isFloat || format.bitsPerChannel != 32 || buffer.frames < 1 || format.channels < 1) return std::nullopt;
    const auto frames = static_cast<std::size_t>(buffer.frames);
    const auto channels = static_cast<std::size_t>(format.channels);
    PCMChunk chunk;
    chunk.channels = format.channels;
    chunk.samples.assign(frames * channels, 0.0F);

    const auto floatsIn = [](const std::vector<std::uint8_t>& bytes) { return bytes.size() / sizeof(float); };
    if (format.isNonInterleaved) {
        // Buffer k holds channel k; buffers beyond the channels and samples
        // beyond a buffer's end are not there to read.
        for (std::size_t k = 0; k < std::min(channels, buffer.buffers.size()); ++k) {
            const std::vector<std::uint8_t>& plane = buffer.buffers[k];
            const std::size_t count = std::min(frames, floatsIn(plane));
            for (std::size_t i = 0; i < count; ++i)
                std::memcpy(&chunk.samples[i * channels + k], plane.data() + i * sizeof(float), sizeof(float));
        }
    } else if (!buffer.buffers.empty()) {
        const std::size_t count = std::min(chunk.samples.size(), floatsIn(buffer.buffers.front()));
        if (count > 0) std::memcpy(chunk.samples.data(), buffer.buffers.front().data(), count * sizeof(float));
    }
    chunk.hostTimeNs = buffer.presentationTimeNs ? *buffer.presentationTimeNs : clock();
    chunk.arrivalNs = clock();
    return chunk;
}

} // namespace quillmere
