#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// A text as a JSON string literal, quotes included: quotes, backslashes and
// control characters escaped; other UTF-8 passes through.
std::string jsonString(std::string_view text);

} // namespace quillmere
