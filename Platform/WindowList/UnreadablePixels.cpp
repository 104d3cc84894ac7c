#include "Platform/WindowList/UnreadablePixels.h"

#include <fmt/format.h>

namespace quillmere {

std::string UnreadablePixels::sentence() const {
    const char* what = content == Content::display ? "display" : "window";
    switch (cause) {
    case Cause::depth: return fmt::format("This {}'s colour depth ({} bits) cannot be shared.", what, depth);
    case Cause::format: return fmt::format("This {}'s colour format ({} bits) cannot be shared.", what, depth);
    case Cause::colourMap: break;
    }
    return fmt::format("This {}'s colours ({} bits) go through a colour map, which cannot be shared.", what, depth);
}

} // namespace quillmere
