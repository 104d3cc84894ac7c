#pragma once

#include "QuillmereBase/Bytes.h"

#include <optional>
#include <string>
#include <string_view>

// RFC 4648 section 5 without padding: the alphabet of invitation texts.

namespace quillmere::Base64URL {

std::string encode(ByteView bytes);

// No value for any character outside the alphabet (padding, white space,
// '+', '/', non-ASCII) and for a length of 1 modulo 4. The unused low bits of
// a short final group are dropped unchecked, so "AB" decodes like "AA".
std::optional<Bytes> decode(std::string_view text);

} // namespace quillmere::Base64URL
