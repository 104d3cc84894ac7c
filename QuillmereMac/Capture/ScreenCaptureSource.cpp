#include "QuillmereMac/Capture/ScreenCaptureSource.h"

#include "Platform/Dispatch/Clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>

namespace quillmere {

namespace {

constexpr int minimumFPS = 1;
constexpr int maximumFPS = 120;
constexpr int minimumSide = 64;
constexpr double refitTolerance = 0.02;

// The stream's rectangles are whole pixels.
Rect rectOf(const ScreenRect& rect) {
    return Rect{static_cast<double>(rect.x), static_cast<double>(rect.y), static_cast<double>(rect.width),
                static_cast<double>(rect.height)};
}

// Runs one of the stream's asynchronous calls and waits for its completion.
std::optional<ScreenCaptureError> await(const std::function<void(ScreenCaptureStream::Completion)>& call) {
    auto promise = std::make_shared<std::promise<std::optional<ScreenCaptureError>>>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto future = promise->get_future();
    call([promise, done](std::optional<ScreenCaptureError> error) {
        if (!done->exchange(true)) promise->set_value(std::move(error));
    });
    return future.get();
}

int evenAtLeastMinimum(double side) {
    auto value = static_cast<long long>(std::floor(side));
    value -= value % 2;
    return static_cast<int>(std::clamp<long long>(value, minimumSide, 1 << 20));
}

} // namespace

std::shared_ptr<ScreenCaptureSource> ScreenCaptureSource::make(ContentFilter filter, CaptureSettings settings,
                                                               std::string label,
                                                               ScreenCaptureStreamFactory streamFactory,
                                                               std::function<std::uint64_t()> clock) {
    return std::shared_ptr<ScreenCaptureSource>(new ScreenCaptureSource(
        std::move(filter), settings, std::move(label), std::move(streamFactory), std::move(clock)));
}

ScreenCaptureSource::ScreenCaptureSource(ContentFilter filter, CaptureSettings settings, std::string label,
                                         ScreenCaptureStreamFactory streamFactory,
                                         std::function<std::uint64_t()> clock)
    : label_(std::move(label)),
      filter_(std::move(filter)),
      streamFactory_(std::move(streamFactory)),
      clock_(std::move(clock)),
      queue_(std::make_shared<SerialQueue>(queueLabel)),
      settings_(settings) {}

ScreenCaptureSource::~ScreenCaptureSource() = default;

ScreenCaptureStreamConfiguration ScreenCaptureSource::streamConfiguration(const CaptureSettings& settings) {
    ScreenCaptureStreamConfiguration configuration;
    configuration.width = settings.width;
    configuration.height = settings.height;
    configuration.pixelFormat = PixelFormat::nv12VideoRange;
    // A rate of 0 (or less) must not become an endless interval.
    configuration.minimumFrameIntervalNs = 1'000'000'000ULL / static_cast<std::uint64_t>(std::max(settings.maxFPS, 1));
    configuration.showsCursor = settings.showsCursor;
    configuration.queueDepth = settings.queueDepth;
    configuration.scalesToFit = true;
    return configuration;
}

CaptureStopReason ScreenCaptureSource::stopReason(const ScreenCaptureError& error) {
    const std::string text = "capture error " + std::to_string(error.code);
    if (!error.inScreenCaptureDomain()) return CaptureStopReason::failed(text);
    // Content whose pixels cannot be read is told in words: no code helps there.
    if (error.unreadable) return CaptureStopReason::failed(error.unreadable->sentence());
    switch (error.code) {
    case ScreenCaptureError::userStopped: return CaptureStopReason::userStopped();
    case ScreenCaptureError::userDeclined: return CaptureStopReason::permissionDenied();
    case ScreenCaptureError::noWindowList:
    case ScreenCaptureError::noCaptureSource: return CaptureStopReason::windowClosed();
    case ScreenCaptureError::connectionInterrupted:
    case ScreenCaptureError::connectionInvalid: return CaptureStopReason::interrupted(text);
    default: return CaptureStopReason::failed(text);
    }
}

std::pair<int, int> ScreenCaptureSource::fitRaster(double aspectWidth, double aspectHeight, int boxWidth,
                                                   int boxHeight) {
    // Cross-multiplied so that whole-number shapes fit exactly.
    if (static_cast<double>(boxWidth) * aspectHeight > static_cast<double>(boxHeight) * aspectWidth) {
        return {evenAtLeastMinimum(aspectWidth * boxHeight / aspectHeight), evenAtLeastMinimum(boxHeight)};
    }
    return {evenAtLeastMinimum(boxWidth), evenAtLeastMinimum(boxWidth * aspectHeight / aspectWidth)};
}

std::expected<void, CaptureStartError> ScreenCaptureSource::start(CaptureEventHandler handler) {
    CaptureSettings settings;
    std::uint64_t generation = 0;
    queue_->sync([&] {
        onEvent_ = std::move(handler);
        stopped_ = false;
        generation = ++generation_;
        settings = settings_;
    });
    // A failed start takes the handler back, so nothing reaches it later.
    const auto abandon = [&] {
        queue_->sync([&] {
            if (generation_ != generation) return;
            onEvent_ = nullptr;
            stopped_ = true;
        });
    };

    const auto self = shared_from_this();
    const std::shared_ptr<ScreenCaptureStreamOutput> output(self, static_cast<ScreenCaptureStreamOutput*>(self.get()));
    auto made = streamFactory_(filter_, streamConfiguration(settings), output, queue_);
    if (!made) {
        abandon();
        return std::unexpected(CaptureStartError(made.error()));
    }
    std::shared_ptr<ScreenCaptureStream> stream = std::move(*made);
    if (auto error = await([&](auto done) { stream->startCapture(std::move(done)); })) {
        abandon();
        CaptureStartError failure(stopReason(*error));
        if (error->inScreenCaptureDomain() && error->unreadable)
            return std::unexpected(std::move(failure).explained(error->unreadable->sentence()));
        return std::unexpected(std::move(failure));
    }

    bool overtaken = false;
    queue_->sync([&] {
        if (stopped_ || generation_ != generation) {
            overtaken = true;
            return;
        }
        stream_ = stream;
        if (settings_ != settings) sendConfiguration();
    });
    if (overtaken) {
        // A stop (or another start) came while this one was under way: the
        // stream it made must not go on capturing unseen.
        await([&](auto done) { stream->stopCapture(std::move(done)); });
        return std::unexpected(CaptureStartError(CaptureStopReason::userStopped()));
    }
    return {};
}

void ScreenCaptureSource::stop() {
    std::shared_ptr<ScreenCaptureStream> taken;
    queue_->sync([&] {
        if (stopped_) return;
        stopped_ = true;
        taken = std::move(stream_);
    });
    if (taken) {
        await([&](auto done) { taken->stopCapture(std::move(done)); });
        taken.reset();
    }
    queue_->sync([&] {
        CaptureEventHandler handler = std::move(onEvent_);
        onEvent_ = nullptr;
        if (handler) handler(CaptureEvent::stopped(CaptureStopReason::userStopped()));
    });
}

void ScreenCaptureSource::setMaxFPS(int fps) {
    queue_->async([weak = weak_from_this(), fps] {
        auto self = weak.lock();
        if (!self) return;
        const int clamped = std::clamp(fps, minimumFPS, maximumFPS);
        if (self->stopped_ || clamped == self->settings_.maxFPS) return;
        self->settings_.maxFPS = clamped;
        if (self->stream_) self->sendConfiguration();
    });
}

void ScreenCaptureSource::resize(int fitWidth, int fitHeight) {
    queue_->async([weak = weak_from_this(), fitWidth, fitHeight] {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        CaptureSettings& settings = self->settings_;
        if (settings.fitBoxWidth >= 1) {
            settings.fitBoxWidth = fitWidth;
            settings.fitBoxHeight = fitHeight;
        }
        if (fitWidth < 1 || fitHeight < 1 || settings.width < 1 || settings.height < 1) return;
        const auto [width, height] = self->rasterRule_ ? self->rasterRule_(fitWidth, fitHeight)
                                                       : fitRaster(settings.width, settings.height, fitWidth, fitHeight);
        if (width == settings.width && height == settings.height) return;
        settings.width = width;
        settings.height = height;
        self->lastRefitNs_ = self->clock_();
        if (self->stream_) self->sendConfiguration();
    });
}

void ScreenCaptureSource::setRasterRule(RasterRule rule) {
    queue_->sync([&] { rasterRule_ = std::move(rule); });
}

void ScreenCaptureSource::sendConfiguration() {
    stream_->updateConfiguration(streamConfiguration(settings_), [](std::optional<ScreenCaptureError>) {});
}

void ScreenCaptureSource::didOutputSample(ScreenCaptureSample sample) {
    // The stream calls this on the queue.
    handleSample(sample);
}

void ScreenCaptureSource::didStopWithError(ScreenCaptureError error) {
    queue_->async([weak = weak_from_this(), error = std::move(error)] {
        if (auto self = weak.lock()) self->stopWith(stopReason(error));
    });
}

void ScreenCaptureSource::stopWith(CaptureStopReason reason) {
    if (stopped_) return;
    stopped_ = true;
    std::shared_ptr<ScreenCaptureStream> dropped = std::move(stream_);
    CaptureEventHandler handler = std::move(onEvent_);
    onEvent_ = nullptr;
    if (handler) handler(CaptureEvent::stopped(std::move(reason)));
}

void ScreenCaptureSource::handleSample(const ScreenCaptureSample& sample) {
    if (stopped_ || !onEvent_) return;
    // Without a readable status the sample counts as blank.
    std::int64_t status = CaptureEpochTracker::statusBlank;
    if (sample.status && *sample.status >= 0 && *sample.status < 6) status = *sample.status;

    int width = 0;
    int height = 0;
    if (sample.pixelBuffer) {
        width = sample.pixelBuffer->width();
        height = sample.pixelBuffer->height();
        if (status == CaptureEpochTracker::statusComplete) refitToContent(sample);
    } else if (status == CaptureEpochTracker::statusComplete) {
        return;
    }
    const std::uint64_t captureTimeNs = sample.presentationTimeNs.value_or(clock_());

    for (const auto& kind : tracker_.observe(status, width, height)) {
        if (stopped_ || !onEvent_) return;
        switch (kind.kind) {
        case CaptureEpochTracker::CaptureEventKind::Case::epochChanged:
            onEvent_(CaptureEvent::epochChanged(kind.epoch, width, height));
            break;
        case CaptureEpochTracker::CaptureEventKind::Case::frame:
            if (sample.pixelBuffer) {
                CapturedFrame frame;
                frame.pixelBuffer = sample.pixelBuffer;
                frame.captureTimeNs = captureTimeNs;
                frame.captureEpoch = kind.epoch;
                frame.width = width;
                frame.height = height;
                frame.sequence = kind.sequence;
                if (sample.contentRect) frame.content = rectOf(*sample.contentRect);
                if (sample.dirtyRects) {
                    frame.dirtyRects.emplace();
                    for (const ScreenRect& rect : *sample.dirtyRects) frame.dirtyRects->push_back(rectOf(rect));
                }
                onEvent_(CaptureEvent::frame(std::move(frame)));
            }
            break;
        case CaptureEpochTracker::CaptureEventKind::Case::idle:
            onEvent_(CaptureEvent::idle());
            break;
        case CaptureEpochTracker::CaptureEventKind::Case::stopped:
            stopWith(CaptureStopReason::windowClosed());
            break;
        }
    }
}

void ScreenCaptureSource::refitToContent(const ScreenCaptureSample& sample) {
    if (settings_.fitBoxWidth < 1 || !stream_ || !sample.contentRect) return;
    // The newest content shape is the one to follow.
    pendingContent_ = rectOf(*sample.contentRect);
    applyPendingRefit();
}

void ScreenCaptureSource::applyPendingRefit() {
    if (!pendingContent_) return;
    CaptureSettings& settings = settings_;
    const double contentWidth = std::abs(pendingContent_->width);
    const double contentHeight = std::abs(pendingContent_->height);
    if (stopped_ || !stream_ || settings.fitBoxWidth < 1 || settings.fitBoxHeight < 1 || !(contentWidth > 1.0) ||
        !(contentHeight > 1.0) || settings.height < 1) {
        pendingContent_.reset();
        return;
    }
    const double contentAspect = contentWidth / contentHeight;
    const double currentAspect = static_cast<double>(settings.width) / settings.height;
    if (!std::isfinite(contentAspect)) {
        pendingContent_.reset();
        return;
    }
    // Content that changed size since the raster was decided is followed to
    // the pixel: a window's size and its margin change one after the other,
    // and a raster fitted between the two may sit within the tolerance of the
    // final shape, bands and all. The tolerance spares only a raster already
    // decided against this very content.
    const bool changed = decidedContent_ && (std::abs(decidedContent_->width) != contentWidth ||
                                             std::abs(decidedContent_->height) != contentHeight);
    const auto fitted = fitRaster(contentWidth, contentHeight, settings.fitBoxWidth, settings.fitBoxHeight);
    const bool fits = changed ? fitted == std::pair{settings.width, settings.height}
                              : std::abs(contentAspect / currentAspect - 1.0) <= refitTolerance;
    if (fits) {
        decidedContent_ = pendingContent_;
        pendingContent_.reset();
        return;
    }
    const std::uint64_t now = clock_();
    const std::uint64_t since = now > lastRefitNs_ ? now - lastRefitNs_ : 0;
    if (since <= refitIntervalNs) {
        // Held back, not dropped: a window that stops drawing after its last
        // resize would otherwise keep the old shape until it draws again.
        if (!refitScheduled_) {
            refitScheduled_ = true;
            queue_->asyncAfter(refitIntervalNs + 1 - since, [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->refitScheduled_ = false;
                    self->applyPendingRefit();
                }
            });
        }
        return;
    }
    decidedContent_ = std::exchange(pendingContent_, std::nullopt);
    const auto [width, height] = fitted;
    if (width == settings.width && height == settings.height) return;
    lastRefitNs_ = now;
    settings.width = width;
    settings.height = height;
    sendConfiguration();
}

CaptureSettings ScreenCaptureSource::settings() const {
    CaptureSettings result;
    queue_->sync([&] { result = settings_; });
    return result;
}

std::uint64_t ScreenCaptureSource::lastRefitNs() const {
    std::uint64_t result = 0;
    queue_->sync([&] { result = lastRefitNs_; });
    return result;
}

CaptureEpochTracker ScreenCaptureSource::tracker() const {
    CaptureEpochTracker result;
    queue_->sync([&] { result = tracker_; });
    return result;
}

bool ScreenCaptureSource::isStreaming() const {
    bool result = false;
    queue_->sync([&] { result = stream_ != nullptr; });
    return result;
}

} // namespace quillmere
