#pragma once

#include "QuillmereMac/Geometry/Rect.h"

namespace quillmere {

// The injector of the client holding input control: one at a time for the
// whole application, kept in the media pipeline's injector box, whose holding
// one is what "control granted" means. It maps pointer positions into the
// frame of the controlled surface.
class InputInjector {
public:
    explicit InputInjector(Rect windowFrame) : windowFrame(windowFrame) {}
    virtual ~InputInjector() = default;

    // The controlled surface's frame, in global top-left coordinates.
    Rect windowFrame;
};

} // namespace quillmere
