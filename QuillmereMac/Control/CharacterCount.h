#pragma once

#include <cstddef>
#include <string_view>

namespace quillmere {

// User-perceived characters (extended grapheme clusters) of UTF-8 text: a
// family emoji or a flag is one.
std::size_t characterCount(std::string_view text);

} // namespace quillmere
