#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// Content whose pixels capture cannot read, whatever is tried again: a
// colour depth it has no conversion for (1 bit), colours looked up in a
// colour map it cannot read, or a depth it knows with colours laid out in a
// way it does not. Told to people in words.
struct UnreadablePixels {
    enum class Content : std::uint8_t { display, window };
    enum class Cause : std::uint8_t { depth, format, colourMap };

    Content content = Content::display;
    Cause cause = Cause::depth;
    int depth = 0;

    // "This display's colour depth (8 bits) cannot be shared."
    std::string sentence() const;

    bool operator==(const UnreadablePixels&) const = default;
};

} // namespace quillmere
