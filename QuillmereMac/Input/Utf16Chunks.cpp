#include "QuillmereMac/Input/Utf16Chunks.h"

#include "QuillmereBase/UTF8.h"

#include <utility>

namespace quillmere {

namespace {

// Well-formed input only.
char32_t nextScalar(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return text[i++];
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    char32_t scalar = lead & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) scalar = (scalar << 6) | (byte(i + k) & 0x3f);
    i += length;
    return scalar;
}

} // namespace

std::vector<std::u16string> utf16Chunks(std::string_view text, std::size_t limit) {
    std::vector<std::u16string> chunks;
    if (!isValidUTF8(text)) return chunks;
    std::u16string current;
    for (std::size_t i = 0; i < text.size();) {
        const char32_t scalar = nextScalar(text, i);
        std::u16string units;
        if (scalar < 0x10000) {
            units.push_back(static_cast<char16_t>(scalar));
        } else {
            units.push_back(static_cast<char16_t>(0xd800 + ((scalar - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xdc00 + ((scalar - 0x10000) & 0x3ff)));
        }
        if (!current.empty() && current.size() + units.size() > limit) chunks.push_back(std::exchange(current, {}));
        current += units;
    }
    if (!current.empty()) chunks.push_back(std::move(current));
    return chunks;
}

} // namespace quillmere
