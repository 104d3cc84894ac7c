#include "QuillmereWire/WireText.h"

namespace quillmere {

WireStatus requireUTF8Length(std::string_view text, std::size_t maxBytes, std::string_view field) {
    return require(text.size() <= maxBytes, field);
}

WireStatus require(bool condition, std::string_view field) {
    if (!condition) return std::unexpected(WireError::outOfRange(std::string(field)));
    return {};
}

} // namespace quillmere
