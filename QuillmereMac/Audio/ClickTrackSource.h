#pragma once

#include "Platform/Dispatch/Executor.h"
#include "QuillmereMac/Audio/AudioSource.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace quillmere {

class DispatchTimer;

// A generated click track for measuring the audio path's delay: short clicks
// every interval, two channels, two seconds long and repeated, handed out
// 10 ms at a time. The position in the track survives a stop.
class ClickTrackSource final : public AudioSource, public std::enable_shared_from_this<ClickTrackSource> {
public:
    static constexpr const char* queueLabel = "com.ornbeck.quillmeremac.clicks";
    static constexpr std::int64_t sampleRate = 48000;
    static constexpr std::int64_t channels = 2;
    static constexpr std::int64_t clickSamples = 48;
    static constexpr double trackSeconds = 2.0;
    static constexpr std::int64_t framesPerTick = 480;
    static constexpr std::uint64_t tickNs = 10'000'000;

    // Without a queue the source makes its own.
    explicit ClickTrackSource(double intervalMs, std::shared_ptr<Executor> queue = nullptr);
    ~ClickTrackSource() override;

    std::expected<void, CaptureStartError> start(PCMChunkHandler handler) override;
    void stop() override;

    const std::vector<float>& track() const { return track_; }
    std::int64_t position() const;

private:
    void tick();

    const std::shared_ptr<Executor> queue_;
    const std::vector<float> track_;
    // Touched on the queue only.
    std::shared_ptr<DispatchTimer> timer_;
    PCMChunkHandler handler_;
    std::int64_t position_ = 0;
};

} // namespace quillmere
