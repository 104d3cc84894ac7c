#pragma once

#include "QuillmereWire/WireError.h"

#include <cstddef>
#include <string_view>

namespace quillmere {

// The field checks every record writer runs before it appends a field.
WireStatus requireUTF8Length(std::string_view text, std::size_t maxBytes, std::string_view field);
WireStatus require(bool condition, std::string_view field);

} // namespace quillmere
