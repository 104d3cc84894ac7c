#include "QuillmereBase/UTF8.h"

namespace quillmere {

namespace {

// Length of the well-formed sequence starting at bytes[i], or 0 when broken.
std::size_t sequenceLength(const std::uint8_t* bytes, std::size_t i, std::size_t size) {
    const std::uint8_t lead = bytes[i];
    auto continuation = [&](std::size_t at, std::uint8_t low = 0x80, std::uint8_t high = 0xBF) {
        return at < size && bytes[at] >= low && bytes[at] <= high;
    };
    if (lead <= 0x7F) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(i + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const std::uint8_t low = lead == 0xE0 ? 0xA0 : 0x80;
        const std::uint8_t high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(i + 1, low, high) && continuation(i + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const std::uint8_t low = lead == 0xF0 ? 0x90 : 0x80;
        const std::uint8_t high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(i + 1, low, high) && continuation(i + 2) && continuation(i + 3) ? 4 : 0;
    }
    return 0;
}

bool wellFormed(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size;) {
        const std::size_t length = sequenceLength(bytes, i, size);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

const std::uint8_t* asBytes(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

} // namespace

Bytes utf8Bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::optional<std::string> decodeUTF8(ByteView bytes) {
    if (!wellFormed(bytes.data(), bytes.size())) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

bool isValidUTF8(std::string_view text) { return wellFormed(asBytes(text), text.size()); }

std::string truncatedUTF8(std::string_view text, std::size_t maxBytes) {
    const std::uint8_t* bytes = asBytes(text);
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t length = sequenceLength(bytes, end, text.size());
        if (length == 0 || end + length > maxBytes) break;
        end += length;
    }
    return std::string(text.substr(0, end));
}

bool containsControlCharacter(std::string_view text) {
    // Every byte below 0x80 is a whole scalar in UTF-8, and no byte of a
    // multi-byte sequence is below 0x80, so a byte scan is exact.
    for (char c : text) {
        const auto byte = static_cast<std::uint8_t>(c);
        if ((byte < 0x20 && byte != 0x09 && byte != 0x0A) || byte == 0x7F) return true;
    }
    return false;
}

} // namespace quillmere
