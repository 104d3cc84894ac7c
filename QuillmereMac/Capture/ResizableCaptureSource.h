#pragma once

#include "QuillmereMac/Capture/CaptureSource.h"

namespace quillmere {

// A source whose raster and rate can change while it runs. Both calls return
// at once and take effect later on the source's queue.
class ResizableCaptureSource : public CaptureSource {
public:
    // Fits the captured raster into the box, keeping the content's aspect.
    virtual void resize(int fitWidth, int fitHeight) = 0;
    // The frame-rate ceiling.
    virtual void setMaxFPS(int fps) = 0;
};

} // namespace quillmere
