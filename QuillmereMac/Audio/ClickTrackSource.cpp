#include "QuillmereMac/Audio/ClickTrackSource.h"

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMacCore/EchoAnalysis.h"

namespace quillmere {

namespace {

constexpr std::uint64_t leewayNs = 500'000;

std::vector<float> stereoTrack(double intervalMs) {
    const std::vector<float> mono = EchoAnalysis::clickTrack(ClickTrackSource::sampleRate, ClickTrackSource::clickSamples,
                                                             ClickTrackSource::trackSeconds, intervalMs);
    std::vector<float> track;
    track.reserve(mono.size() * 2);
    for (const float sample : mono) {
        track.push_back(sample);
        track.push_back(sample);
    }
    return track;
}

} // namespace

ClickTrackSource::ClickTrackSource(double intervalMs, std::shared_ptr<Executor> queue)
    : queue_(queue ? std::move(queue) : std::make_shared<SerialQueue>(queueLabel)), track_(stereoTrack(intervalMs)) {}

ClickTrackSource::~ClickTrackSource() {
    if (timer_) timer_->cancel();
}

std::expected<void, CaptureStartError> ClickTrackSource::start(PCMChunkHandler handler) {
    queue_->sync([&] {
        if (timer_) timer_->cancel();
        handler_ = std::move(handler);
        timer_ = DispatchTimer::make(*queue_);
        timer_->schedule(queue_->nowNs(), tickNs, leewayNs);
        timer_->setHandler([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->tick();
        });
        timer_->resume();
    });
    return {};
}

void ClickTrackSource::stop() {
    queue_->sync([&] {
        if (timer_) timer_->cancel();
        timer_.reset();
        handler_ = nullptr;
    });
}

std::int64_t ClickTrackSource::position() const {
    std::int64_t position = 0;
    queue_->sync([&] { position = position_; });
    return position;
}

void ClickTrackSource::tick() {
    if (!handler_ || track_.empty()) return;
    const auto count = static_cast<std::int64_t>(track_.size());
    std::vector<float> samples(static_cast<std::size_t>(framesPerTick * channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = track_[static_cast<std::size_t>((position_ + static_cast<std::int64_t>(i)) % count)];
    position_ = (position_ + framesPerTick * channels) % count;
    const std::uint64_t hostTimeNs = queue_->nowNs();
    const std::uint64_t arrivalNs = queue_->nowNs();
    handler_(PCMChunk{std::move(samples), channels, hostTimeNs, arrivalNs});
}

} // namespace quillmere
