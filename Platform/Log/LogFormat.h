#pragma once

#include "Platform/Log/LogArgument.h"

#include <span>
#include <string>
#include <string_view>

namespace quillmere {

// Renders a unified-log style format to plain text. Conversions follow
// printf (flags, width, precision, * for either, length modifiers hh h l ll
// q j z t L; d i u o x X c s p f F e E g G a A @ %), each optionally
// preceded by annotations in braces:
//   %{public}s, %{public}ld   the value as printf writes it
//   %{private}s               "<private>"
//   %{bool}d, %{BOOL}d        "true"/"false", "YES"/"NO"
// The length modifier sets the integer's width, as in C: %{public}hhu of 300
// is 44. A conversion without an argument renders "<missing>"; one that
// cannot be parsed is copied as it stands.
std::string renderLogFormat(std::string_view format, std::span<const LogArgument> arguments);

} // namespace quillmere
