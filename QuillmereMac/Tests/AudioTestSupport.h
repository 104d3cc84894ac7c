#pragma once

// What audio streams are made of in tests: a source the test feeds by hand,
// and a sink that keeps what a stream hands to its connection.

#include "QuillmereMac/Audio/AudioSink.h"
#include "QuillmereMac/Audio/AudioSource.h"
#include "QuillmereMac/Capture/CaptureStopReason.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

namespace quillmere::testing {

class ScriptedAudioSource final : public AudioSource {
public:
    explicit ScriptedAudioSource(bool failStart = false) : failStart_(failStart) {}

    std::expected<void, CaptureStartError> start(PCMChunkHandler handler) override {
        if (failStart_) return std::unexpected(CaptureStartError(CaptureStopReason::failed("no sound")));
        handler_ = std::move(handler);
        return {};
    }
    void stop() override { ++stops; }
    // As the source's queue would; only while started.
    void deliver(PCMChunk chunk) {
        if (handler_ && stops == 0) handler_(std::move(chunk));
    }

    std::atomic<int> stops = 0;

private:
    const bool failStart_;
    PCMChunkHandler handler_;
};

class RecordingAudioSink final : public AudioSink {
public:
    struct Packet {
        Bytes bytes;
        std::uint32_t surfaceID = 0;
        std::uint32_t sequence = 0;
        std::uint64_t hostTimeNs = 0;
    };

    void sendAudioConfig(const msg::AudioConfig& config) override {
        std::lock_guard lock(mutex_);
        configs_.push_back(config);
    }
    void sendAudio(SharedBytes packet, std::uint32_t surfaceID, std::uint32_t sequence, std::uint32_t generation,
                   std::uint64_t hostTimeNs) override {
        std::lock_guard lock(mutex_);
        if (generation == 1) packets_.push_back({packet.toBytes(), surfaceID, sequence, hostTimeNs});
    }
    std::vector<msg::AudioConfig> configs() const {
        std::lock_guard lock(mutex_);
        return configs_;
    }
    std::vector<Packet> packets() const {
        std::lock_guard lock(mutex_);
        return packets_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<msg::AudioConfig> configs_;
    std::vector<Packet> packets_;
};

// 480 stereo frames of one value, or of a 440 Hz tone when none is given.
inline PCMChunk tenMilliseconds(std::uint64_t arrivalNs, std::optional<float> value = std::nullopt) {
    PCMChunk chunk{std::vector<float>(960), 2, arrivalNs - 1000, arrivalNs};
    for (std::size_t i = 0; i < chunk.samples.size(); ++i)
        chunk.samples[i] = value.value_or(static_cast<float>(0.3 * std::sin(2 * M_PI * 440.0 * double(i / 2) / 48000)));
    return chunk;
}

} // namespace quillmere::testing
