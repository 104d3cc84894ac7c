#pragma once

#include <xcb/xcb.h>

#include <mutex>

namespace quillmere {

// X connections are opened one at a time in this process. Opening one asks
// libXau for the user's authority file, whose path it formats into a single
// static buffer, freed and made anew when the path's length changes: two
// openings at once race on it. Ours open through connect(); a library that
// opens its own (Qt as its application object is made, libpulse as a context
// is made) is called with an XcbOpening held.
class XcbOpening {
public:
    XcbOpening();
    XcbOpening(const XcbOpening&) = delete;
    XcbOpening& operator=(const XcbOpening&) = delete;

    // xcb_connect, with no other opening under way.
    static xcb_connection_t* connect(const char* displayName, int* screen);

private:
    std::lock_guard<std::mutex> lock_;
};

} // namespace quillmere
