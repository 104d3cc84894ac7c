#include "QuillmereMac/Audio/AudioStream.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"

#include <utility>

namespace quillmere {

std::shared_ptr<AudioStream> AudioStream::make(std::shared_ptr<AudioSource> source,
                                               std::shared_ptr<AudioSink> connection, Options options) {
    return std::make_shared<AudioStream>(std::move(source), std::move(connection), std::move(options));
}

AudioStream::AudioStream(std::shared_ptr<AudioSource> source, std::shared_ptr<AudioSink> connection, Options options)
    : source_(std::move(source)),
      connection_(std::move(connection)),
      queue_(options.queue ? std::move(options.queue) : std::make_shared<SerialQueue>(queueLabel)),
      clock_(options.clock ? std::move(options.clock) : std::function<std::uint64_t()>(&Clock::nowNs)),
      generation_(options.generation),
      surfaceID_(options.surfaceID),
      announces_(options.announces),
      numbers_(std::move(options.numbers)) {}

std::expected<void, CaptureStartError> AudioStream::start() {
    auto encoder = OpusEncoder::make(channels, frameMs, bitrate);
    if (!encoder) return std::unexpected(CaptureStartError(encoder.error()));
    queue_->sync([&] {
        encoder_ = std::move(*encoder);
        if (numbers_) sequence_ = numbers_->newest();
        running_ = true;
        holding_ = true;
    });
    auto started = source_->start([weak = weak_from_this()](PCMChunk chunk) {
        if (const auto self = weak.lock()) self->enqueue(std::move(chunk));
    });
    // Only a stream whose sound runs announces it: a client that was told
    // of audio also gets it, and another stream can announce in its stead.
    // A client drops packets that come before the announcement.
    if (started && announces_) connection_->sendAudioConfig(msg::AudioConfig{generation_, 48000, 2, frameMs});
    queue_->sync([&] {
        holding_ = false;
        for (const PCMChunk& chunk : std::exchange(held_, {})) pump(chunk);
    });
    return started;
}

void AudioStream::stop() {
    queue_->sync([&] { running_ = false; });
    source_->stop();
}

void AudioStream::enqueue(PCMChunk chunk) {
    queue_->async([weak = weak_from_this(), chunk = std::move(chunk)] {
        if (const auto self = weak.lock()) self->pump(chunk);
    });
}

AudioStream::Stats AudioStream::stats() const {
    Stats stats;
    queue_->sync([&] { stats = stats_; });
    return stats;
}

void AudioStream::pump(const PCMChunk& chunk) {
    if (!running_ || !encoder_) return;
    if (holding_) {
        // The chunker keeps no more than this either.
        if (held_.size() < static_cast<std::size_t>(maxBacklogChunks)) held_.push_back(chunk);
        return;
    }
    for (const std::vector<float>& frame : chunker_.push(chunk.samples)) {
        ++stats_.chunks;
        ++sequence_;
        if (numbers_) numbers_->used(sequence_);
        const std::uint64_t now = clock_();
        if (now > chunk.arrivalNs && now - chunk.arrivalNs > maxLatenessNs) {
            ++stats_.droppedLate;
            continue;
        }
        const SilenceReuse::Answer answer = silence_.check(frame);
        if (answer == SilenceReuse::Answer::reuse) {
            ++stats_.silentReused;
            handOver(*silence_.cached, chunk.hostTimeNs);
            continue;
        }
        auto packet = encoder_->encode(frame);
        if (!packet) {
            ++stats_.encodeErrors;
            continue;
        }
        SharedBytes shared(std::move(*packet));
        if (answer == SilenceReuse::Answer::encodeAndCache) silence_.cached = shared;
        handOver(std::move(shared), chunk.hostTimeNs);
    }
}

void AudioStream::handOver(SharedBytes packet, std::uint64_t hostTimeNs) {
    ++stats_.packets;
    connection_->sendAudio(std::move(packet), surfaceID_, sequence_, generation_, hostTimeNs);
}

} // namespace quillmere
