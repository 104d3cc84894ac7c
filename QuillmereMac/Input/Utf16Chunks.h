#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

// The text as UTF-16 chunks of at most limit code units each, cut between
// scalars (never inside a surrogate pair; a cluster of several scalars may
// be cut). Text that is not well-formed UTF-8 gives no chunks at all.
std::vector<std::u16string> utf16Chunks(std::string_view text, std::size_t limit);

} // namespace quillmere
