#pragma once

// What audio streams are made of in tests: a source the test feeds by hand,
// and a sink that keeps what a stream hands to its connection.

#include "QuillmereMac/Audio/AudioSource.h"
#include "QuillmereMac/Capture/CaptureStopReason.h"
#include "QuillmereMac/Media/AudioSink.h"

#include <cmath>
#include <mutex>
#include <optional>
#include <vector>

namespace quillmere::testing {

class ScriptedAudioSource final : public AudioSource {
public:
    explicit ScriptedAudioSource(bool failStart = false) : failStart_(failStart) {}

    std::expected<void, CaptureStartError> start(PCMChunkHandler handler) override {
        std::lock_guard lock(mutex_);
        ++starts;
        if (failStart_) return std::unexpected(CaptureStartError(CaptureStopReason::failed("no sound")));
        handler_ = std::move(handler);
        return {};
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        ++stops;
        handler_ = nullptr;
    }
    // As the source's queue would.
    void deliver(PCMChunk chunk) {
        PCMChunkHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (handler) handler(std::move(chunk));
    }
    int startCount() {
        std::lock_guard lock(mutex_);
        return starts;
    }
    int stopCount() {
        std::lock_guard lock(mutex_);
        return stops;
    }

private:
    const bool failStart_;
    std::mutex mutex_;
    PCMChunkHandler handler_;
    int starts = 0;
    int stops = 0;
};

class RecordingAudioSink final : public AudioSink {
public:
    struct Packet {
        Bytes bytes;
        std::uint32_t surfaceID = 0;
        std::uint32_t sequence = 0;
        std::uint32_t generation = 0;
        std::uint64_t hostTimeNs = 0;
    };

    void sendAudioConfig(const msg::AudioConfig& config) override {
        std::lock_guard lock(mutex_);
        configs_.push_back(config);
    }
    void sendAudio(SharedBytes packet, std::uint32_t surfaceID, std::uint32_t sequence, std::uint32_t generation,
                   std::uint64_t hostTimeNs) override {
        std::lock_guard lock(mutex_);
        packets_.push_back({packet.toBytes(), surfaceID, sequence, generation, hostTimeNs});
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
    PCMChunk chunk;
    chunk.samples.resize(960);
    for (std::size_t i = 0; i < chunk.samples.size(); ++i)
        chunk.samples[i] = value ? *value : static_cast<float>(0.3 * std::sin(2 * M_PI * 440.0 * double(i / 2) / 48000));
    chunk.hostTimeNs = arrivalNs - 1000;
    chunk.arrivalNs = arrivalNs;
    return chunk;
}

} // namespace quillmere::testing
