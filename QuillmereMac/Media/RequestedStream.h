#pragma once

namespace quillmere {

// What a surface asks of its capture source: the raster to fit, the frame
// rate, and whether the client draws the cursor itself.
struct RequestedStream {
    int width = 0;
    int height = 0;
    int fps = 0;
    bool localCursor = false;

    bool operator==(const RequestedStream&) const = default;
};

} // namespace quillmere
