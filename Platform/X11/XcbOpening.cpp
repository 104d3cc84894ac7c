#include "Platform/X11/XcbOpening.h"

namespace quillmere {

namespace {

// Process-wide, as libXau's buffer is.
std::mutex openingMutex;

} // namespace

XcbOpening::XcbOpening() : lock_(openingMutex) {}

xcb_connection_t* XcbOpening::connect(const char* displayName, int* screen) {
    const XcbOpening opening;
    return xcb_connect(displayName, screen);
}

} // namespace quillmere
