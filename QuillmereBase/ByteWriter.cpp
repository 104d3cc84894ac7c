#include "QuillmereBase/ByteWriter.h"

#include <cassert>

namespace quillmere {

ByteWriter::ByteWriter(std::ptrdiff_t capacity) {
    if (capacity > 0) bytes_.reserve(static_cast<std::size_t>(capacity));
}

void ByteWriter::writeU16(std::uint16_t value) {
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(value));
}

void ByteWriter::writeU32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
}

void ByteWriter::writeU64(std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
}

void ByteWriter::patchU32(std::size_t offset, std::uint32_t value) {
    assert(offset + 4 <= bytes_.size() && "patching bytes not yet written");
    for (std::size_t i = 0; i < 4; ++i) bytes_[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void ByteWriter::writeBytes(ByteView bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

void ByteWriter::writeShortString(std::string_view text) {
    assert(text.size() <= 255 && "short strings are at most 255 bytes");
    bytes_.push_back(static_cast<std::uint8_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
}

} // namespace quillmere
