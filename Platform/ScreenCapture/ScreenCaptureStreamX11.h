#pragma once

#include "Platform/ScreenCapture/ScreenCaptureStream.h"
#include "Platform/X11/XcbConnection.h"

#include <memory>

namespace quillmere {

// A capture stream on X11: its own connection and thread, Composite for
// windows, the root for displays, MIT-SHM images, Damage for what changed,
// XFixes for the cursor. Frames come out as BT.709 NV12 at the configured
// raster, on the sample queue.
class ScreenCaptureStreamX11 final : public ScreenCaptureStream {
public:
    // Refuses a raster with a side below 1 or a format other than NV12
    // (invalidParameter) before any X work. Each stream opens a connection
    // of its own through open, on its thread.
    static ScreenCaptureStreamFactory factory(XcbConnection::Opener open);

    ScreenCaptureStreamX11(XcbConnection::Opener open, ContentFilter filter,
                           ScreenCaptureStreamConfiguration configuration,
                           std::weak_ptr<ScreenCaptureStreamOutput> output, std::shared_ptr<Executor> sampleQueue);
    // Ends the capture (without completing anything) and waits for its thread.
    ~ScreenCaptureStreamX11() override;

    // Completes once the target is found and watched. A second start fails.
    void startCapture(Completion completion) override;
    // Completes once nothing more will be delivered; at once (on the calling
    // thread) when the capture already ended.
    void stopCapture(Completion completion) override;
    void updateConfiguration(ScreenCaptureStreamConfiguration configuration, Completion completion) override;

    struct Worker;

private:
    std::shared_ptr<Worker> worker_;
};

} // namespace quillmere
