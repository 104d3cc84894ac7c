#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/PixelBuffer/PixelBuffer.h"
#include "Platform/ScreenCapture/ContentFilter.h"
#include "Platform/WindowList/ScreenCaptureError.h"
#include "Platform/ScreenCapture/ScreenCaptureSample.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

// How a stream captures: the raster, format and pace of its samples.
struct ScreenCaptureStreamConfiguration {
    int width = 0;
    int height = 0;
    std::uint32_t pixelFormat = PixelFormat::nv12VideoRange;
    // Samples come at most once per this interval, on a fixed grid: one
    // taken a little late does not push the next one back.
    std::uint64_t minimumFrameIntervalNs = 1'000'000'000ULL / 60;
    bool showsCursor = true;
    int queueDepth = 3;
    // Scale the content into the raster keeping its aspect (bars where the
    // shapes differ); otherwise the content is drawn 1:1 from the top left.
    bool scalesToFit = true;

    bool operator==(const ScreenCaptureStreamConfiguration&) const = default;
};

// Where a stream delivers: samples on the queue it was given, its own stop
// from any thread.
class ScreenCaptureStreamOutput {
public:
    virtual ~ScreenCaptureStreamOutput() = default;
    virtual void didOutputSample(ScreenCaptureSample sample) = 0;
    virtual void didStopWithError(ScreenCaptureError error) = 0;
};

// A running capture of one content filter. Completions run on a thread of the
// stream's; none of them is ever called while the caller's call is on the
// stack. Dropping the last reference stops the capture without a stop call.
class ScreenCaptureStream {
public:
    using Completion = std::function<void(std::optional<ScreenCaptureError>)>;

    virtual ~ScreenCaptureStream() = default;

    virtual void startCapture(Completion completion) = 0;
    virtual void stopCapture(Completion completion) = 0;
    virtual void updateConfiguration(ScreenCaptureStreamConfiguration configuration, Completion completion) = 0;
};

// Makes a stream; fails when the output cannot be attached. The stream holds
// the output weakly and delivers samples on sampleQueue.
using ScreenCaptureStreamFactory = std::function<std::expected<std::shared_ptr<ScreenCaptureStream>, ScreenCaptureError>(
    const ContentFilter& filter, const ScreenCaptureStreamConfiguration& configuration,
    std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> sampleQueue)>;

} // namespace quillmere
