#include "QuillmereWire/Base64URL.h"

#include <algorithm>
#include <array>

namespace quillmere::Base64URL {

namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static_assert(alphabet.size() == 64);

constexpr std::uint8_t notInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> makeReverseTable() {
    std::array<std::uint8_t, 256> table{};
    table.fill(notInAlphabet);
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<std::uint8_t>(alphabet[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

constexpr std::array<std::uint8_t, 256> reverseTable = makeReverseTable();

} // namespace

std::string encode(ByteView bytes) {
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t groupSize = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t bits = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (groupSize > 1) bits |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (groupSize > 2) bits |= bytes[i + 2];
        for (std::size_t c = 0; c <= groupSize; ++c) {
            out.push_back(alphabet[(bits >> (18 - 6 * c)) & 0x3F]);
        }
    }
    return out;
}

std::optional<Bytes> decode(std::string_view text) {
    if (text.size() % 4 == 1) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3 + 2);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const std::size_t groupSize = std::min<std::size_t>(4, text.size() - i);
        std::uint32_t bits = 0;
        for (std::size_t c = 0; c < groupSize; ++c) {
            const std::uint8_t value = reverseTable[static_cast<std::uint8_t>(text[i + c])];
            if (value == notInAlphabet) return std::nullopt;
            bits = (bits << 6) | value;
        }
        bits <<= 6 * (4 - groupSize);
        for (std::size_t b = 0; b + 1 < groupSize; ++b) {
            out.push_back(static_cast<std::uint8_t>(bits >> (16 - 8 * b)));
        }
    }
    return out;
}

} // namespace quillmere::Base64URL
