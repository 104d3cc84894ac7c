#include "QuillmereMac/TestPattern/TestPatternSource.h"

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/SerialQueue.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace quillmere {
namespace {

constexpr int minimumSide = 64;
constexpr std::uint64_t leewayNs = 500'000;

int rasterSide(int requested) { return requested <= minimumSide ? minimumSide : requested / 2 * 2; }

constexpr std::uint8_t black = 16;
constexpr std::uint8_t white = 235;
constexpr std::uint8_t field = 64;
constexpr std::uint8_t bar = 200;
constexpr std::uint8_t neutralChroma = 128;

} // namespace

std::string TestPatternSource::PatternError::description() const {
    return fmt::format("pixel buffer pool creation failed ({})", status);
}

TestPatternSource::TestPatternSource(int width, int height, int fps, std::shared_ptr<Executor> queue)
    : width_(rasterSide(width)),
      height_(rasterSide(height)),
      fps_(std::clamp(fps, 1, 240)),
      queue_(queue ? std::move(queue) : std::make_shared<SerialQueue>(queueLabel)) {}

TestPatternSource::~TestPatternSource() {
    // The timer refers to the queue; it goes first.
    if (timer_) timer_->cancel();
    timer_.reset();
}

std::expected<void, CaptureStartError> TestPatternSource::start(CaptureEventHandler handler) {
    auto pool = PixelBufferPool::make(PixelFormat::nv12VideoRange, width_, height_, 3);
    if (!pool) return std::unexpected(CaptureStartError(PatternError::poolCreation(pool.error())));

    queue_->sync([&] {
        // A second start replaces the running timer rather than adding one.
        if (timer_) timer_->cancel();
        pool_ = std::move(*pool);
        onEvent_ = std::move(handler);
        running_ = true;
        onEvent_(CaptureEvent::epochChanged(1, width_, height_));

        timer_ = DispatchTimer::make(*queue_);
        timer_->schedule(queue_->nowNs(), 1'000'000'000ULL / static_cast<std::uint64_t>(fps_), leewayNs);
        std::weak_ptr<TestPatternSource> weak = weak_from_this();
        timer_->setHandler([weak] {
            if (auto self = weak.lock()) self->tick();
        });
        timer_->resume();
    });
    return {};
}

void TestPatternSource::stop() {
    queue_->sync([&] {
        if (!running_) return;
        running_ = false;
        if (timer_) timer_->cancel();
        timer_.reset();
        if (onEvent_) onEvent_(CaptureEvent::stopped(CaptureStopReason::userStopped()));
        onEvent_ = nullptr;
    });
}

std::uint64_t TestPatternSource::frameIndex() const {
    std::uint64_t index = 0;
    queue_->sync([&] { index = frameIndex_; });
    return index;
}

void TestPatternSource::tick() {
    if (!running_ || !pool_ || !onEvent_) return;
    auto buffer = pool_->createPixelBuffer();
    if (!buffer) return;
    ++frameIndex_;
    drawPattern(**buffer, frameIndex_);

    CapturedFrame frame;
    frame.pixelBuffer = std::move(*buffer);
    frame.captureTimeNs = queue_->nowNs();
    frame.captureEpoch = 1;
    frame.width = width_;
    frame.height = height_;
    frame.sequence = frameIndex_;
    onEvent_(CaptureEvent::frame(std::move(frame)));
}

void TestPatternSource::drawPattern(PixelBuffer& buffer, std::uint64_t n) {
    if (buffer.lockBaseAddress(PixelBuffer::Lock::readWrite) != PixelBufferStatus::success) return;
    std::uint8_t* luma = buffer.planeBaseAddress(0);
    std::uint8_t* chroma = buffer.planeBaseAddress(1);
    if (luma == nullptr || chroma == nullptr) {
        buffer.unlockBaseAddress(PixelBuffer::Lock::readWrite);
        return;
    }
    const std::size_t W = static_cast<std::size_t>(buffer.planeWidth(0));
    const std::size_t H = static_cast<std::size_t>(buffer.planeHeight(0));
    const std::size_t stride = buffer.planeBytesPerRow(0);
    const std::size_t cell = W < 96 ? 2 : W / 32;
    // A frame lower than the strip is all strip.
    const std::size_t stripTop = H > cell ? H - cell : 0;

    const std::size_t span = W > 32 ? W - 32 : 1;
    // (n x 8) mod span, without overflowing for large n.
    const std::size_t barStart = static_cast<std::size_t>((n % span) * 8 % span);
    const std::size_t barWidth = std::min<std::size_t>(32, W - barStart);
    const std::uint8_t block = n % 2 == 1 ? black : white;
    for (std::size_t row = 0; row < stripTop; ++row) {
        std::uint8_t* line = luma + row * stride;
        std::memset(line, field, W);
        std::memset(line + barStart, bar, barWidth);
        if (row < 64) std::memset(line, block, std::min<std::size_t>(W, 64));
    }

    if (stripTop < H) {
        std::uint8_t* first = luma + stripTop * stride;
        std::memset(first, black, W);
        for (std::size_t bit = 0; bit < 32 && bit * cell < W; ++bit) {
            if ((n >> bit) & 1) std::memset(first + bit * cell, white, std::min(cell, W - bit * cell));
        }
        for (std::size_t row = stripTop + 1; row < H; ++row) std::memcpy(luma + row * stride, first, W);
    }

    const std::size_t chromaBytes = 2 * static_cast<std::size_t>(buffer.planeWidth(1));
    for (std::size_t row = 0; row < static_cast<std::size_t>(buffer.planeHeight(1)); ++row)
        std::memset(chroma + row * buffer.planeBytesPerRow(1), neutralChroma, chromaBytes);
    buffer.unlockBaseAddress(PixelBuffer::Lock::readWrite);
}

} // namespace quillmere
