#pragma once

#include "QuillmereBase/Bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

Bytes utf8Bytes(std::string_view text);

// Strict RFC 3629 well-formedness: no overlong forms, no surrogates, nothing
// above U+10FFFF, no repair. NUL is text.
std::optional<std::string> decodeUTF8(ByteView bytes);
bool isValidUTF8(std::string_view text);

// The longest prefix of whole scalars within maxBytes. Text that is not
// well-formed is cut before its first broken sequence, so the result always is.
std::string truncatedUTF8(std::string_view text, std::size_t maxBytes);

// Any scalar below U+0020 except tab and line feed, or U+007F.
bool containsControlCharacter(std::string_view text);

} // namespace quillmere
