#pragma once

namespace quillmere {

// What a screen capture source is made with; resizes, frame-rate changes and
// refits change it later.
struct CaptureSettings {
    // The output raster in pixels.
    int width = 0;
    int height = 0;
    // Frame-rate ceiling.
    int maxFPS = 60;
    // Draw the cursor into the frames.
    bool showsCursor = true;
    // Frames the stream may have out at once.
    int queueDepth = 3;
    // The box the raster must fit in; a fitBoxWidth below 1 means none (the
    // raster then never follows the content's aspect).
    int fitBoxWidth = 0;
    int fitBoxHeight = 0;

    bool operator==(const CaptureSettings&) const = default;
};

} // namespace quillmere
