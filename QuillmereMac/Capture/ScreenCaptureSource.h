#pragma once

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/ScreenCapture/ContentFilter.h"
#include "Platform/WindowList/ScreenCaptureError.h"
#include "Platform/ScreenCapture/ScreenCaptureStream.h"
#include "QuillmereMac/Capture/CaptureEpochTracker.h"
#include "QuillmereMac/Capture/CaptureSettings.h"
#include "QuillmereMac/Capture/ResizableCaptureSource.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace quillmere {

// Captures one window or one display and keeps its raster inside a fit box by
// following the content's aspect. All state lives on its own serial queue, where
// the stream delivers its samples and the handler gets its events.
class ScreenCaptureSource final : public ResizableCaptureSource,
                                  private ScreenCaptureStreamOutput,
                                  public std::enable_shared_from_this<ScreenCaptureSource> {
public:
    static constexpr const char* queueLabel = "com.ornbeck.quillmeremac.capture";
    // Raster changes that follow the content come at most this often.
    static constexpr std::uint64_t refitIntervalNs = 400'000'000;

    static std::shared_ptr<ScreenCaptureSource> make(ContentFilter filter, CaptureSettings settings, std::string label,
                                                     ScreenCaptureStreamFactory streamFactory,
                                                     std::function<std::uint64_t()> clock);
    ~ScreenCaptureSource() override;

    const std::string& label() const override { return label_; }
    // Returns once the stream confirmed its start. A failure leaves the source
    // stopped with no handler: the stream's own error when its output could
    // not be attached, else the mapped CaptureStopReason.
    std::expected<void, CaptureStartError> start(CaptureEventHandler handler) override;
    void stop() override;
    void resize(int fitWidth, int fitHeight) override;
    void setMaxFPS(int fps) override;

    // The raster for a fit box, worked out afresh each time.
    using RasterRule = std::function<std::pair<int, int>(int fitWidth, int fitHeight)>;
    // Resizes then take their raster from the rule instead of fitting the
    // current raster's shape into the box, whose rounding would build up
    // over repeated resizes. Before start.
    void setRasterRule(RasterRule rule);

    // Reads of the queue's state, for whoever needs to look.
    CaptureSettings settings() const;
    std::uint64_t lastRefitNs() const;
    CaptureEpochTracker tracker() const;
    bool isStreaming() const;

    // The stream configuration for some settings (1/maxFPS between frames,
    // at least one frame a second).
    static ScreenCaptureStreamConfiguration streamConfiguration(const CaptureSettings& settings);
    // Content whose pixels cannot be read fails in the words that say so.
    static CaptureStopReason stopReason(const ScreenCaptureError& error);
    // An aspect (aspectWidth : aspectHeight) fitted into a box, each side then
    // rounded down to even and raised to at least 64.
    static std::pair<int, int> fitRaster(double aspectWidth, double aspectHeight, int boxWidth, int boxHeight);

private:
    ScreenCaptureSource(ContentFilter filter, CaptureSettings settings, std::string label,
                        ScreenCaptureStreamFactory streamFactory, std::function<std::uint64_t()> clock);

    void didOutputSample(ScreenCaptureSample sample) override;
    void didStopWithError(ScreenCaptureError error) override;

    // On the queue.
    void handleSample(const ScreenCaptureSample& sample);
    void refitToContent(const ScreenCaptureSample& sample);
    void applyPendingRefit();
    void sendConfiguration();
    void stopWith(CaptureStopReason reason);

    const std::string label_;
    const ContentFilter filter_;
    const ScreenCaptureStreamFactory streamFactory_;
    const std::function<std::uint64_t()> clock_;
    const std::shared_ptr<SerialQueue> queue_;

    // Queue state.
    RasterRule rasterRule_;
    CaptureSettings settings_;
    std::uint64_t lastRefitNs_ = 0;
    std::shared_ptr<ScreenCaptureStream> stream_;
    CaptureEpochTracker tracker_;
    CaptureEventHandler onEvent_;
    bool stopped_ = false;
    // The content shape a refit still has to follow, and whether a later
    // look at it is booked.
    std::optional<Rect> pendingContent_;
    // The content the raster's shape was last decided against (fitted to,
    // or found close enough).
    std::optional<Rect> decidedContent_;
    bool refitScheduled_ = false;
    // Raised by every start and stop, so a start can tell it was overtaken.
    std::uint64_t generation_ = 0;
};

} // namespace quillmere
