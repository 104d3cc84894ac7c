#include "Platform/WindowList/UnreadablePixels.h"

#include <fmt/format.h>

namespace quillmere {

std::string UnreadablePixels::sentence() const {
    return fmt::format("This {}'s colour {} ({} bits) cannot be shared",
                       content == Content::display ? "display" : "window", cause == Cause::depth ? "depth" : "format",
                       depth);
}

} // namespace quillmere
