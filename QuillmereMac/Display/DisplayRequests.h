#pragma once

#include "QuillmereMac/Display/ScreenShape.h"

#include <cstdint>

namespace quillmere {

// What a host connection asks of the media side about the displays.
class DisplayRequests {
public:
    virtual ~DisplayRequests() = default;

    virtual void setScreenShape(ScreenShape shape) = 0;
    // Main actor.
    virtual void setTextSize(std::uint8_t level) = 0;
};

} // namespace quillmere
