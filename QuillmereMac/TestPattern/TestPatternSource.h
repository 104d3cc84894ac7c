#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/PixelBuffer/PixelBufferPool.h"
#include "QuillmereMac/Capture/CaptureSource.h"

#include <cstdint>
#include <memory>
#include <string>

namespace quillmere {

class DispatchTimer;

// A capture source that needs no screen: numbered synthetic NV12 frames at a
// fixed rate, for measurement. Each frame shows its number as a binary code
// strip along the bottom, so a decoded picture tells which frame it was.
// Frame numbers go on across restarts. Held by shared pointer.
class TestPatternSource final : public CaptureSource, public std::enable_shared_from_this<TestPatternSource> {
public:
    struct PatternError {
        // The pool's status.
        std::int32_t status = 0;

        static PatternError poolCreation(std::int32_t status) { return {status}; }
        std::string description() const;
        bool operator==(const PatternError&) const = default;
    };

    static constexpr const char* labelText = "Test pattern (measurement)";
    static constexpr const char* queueLabel = "com.ornbeck.quillmeremac.testpattern";

    // Sides of 64 or less become 64, larger ones are rounded down to even; the
    // rate is held to 1...240. Without a queue the source makes its own.
    TestPatternSource(int width, int height, int fps, std::shared_ptr<Executor> queue = nullptr);
    ~TestPatternSource() override;

    const std::string& label() const override { return label_; }
    // Throws nothing; a failed start carries a PatternError.
    std::expected<void, CaptureStartError> start(CaptureEventHandler handler) override;
    void stop() override;

    int width() const { return width_; }
    int height() const { return height_; }
    int fps() const { return fps_; }
    // The number of the last frame drawn.
    std::uint64_t frameIndex() const;

    // Draws frame number n into an NV12 buffer: a dark grey field, a bar that
    // moves 8 pixels a frame, a top-left block flipping between black and
    // white, and the low 32 bits of n as cells along the bottom. A frame lower
    // than the strip gets as many strip rows as it has.
    static void drawPattern(PixelBuffer& buffer, std::uint64_t n);

private:
    void tick();

    const std::string label_ = labelText;
    const int width_;
    const int height_;
    const int fps_;
    std::shared_ptr<Executor> queue_;
    // The rest is touched on the queue only.
    std::shared_ptr<DispatchTimer> timer_;
    std::shared_ptr<PixelBufferPool> pool_;
    CaptureEventHandler onEvent_;
    std::uint64_t frameIndex_ = 0;
    bool running_ = false;
};

} // namespace quillmere
