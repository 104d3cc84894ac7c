#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <string_view>

namespace quillmere {

// Big-endian writer; owns its output. Field checks are the caller's job,
// before each append.
class ByteWriter {
public:
    explicit ByteWriter(std::ptrdiff_t capacity = 0);

    void writeU8(std::uint8_t value) { bytes_.push_back(value); }
    void writeU16(std::uint16_t value);
    void writeU32(std::uint32_t value);
    void writeU64(std::uint64_t value);
    void writeBool(bool value) { bytes_.push_back(value ? 1 : 0); }
    void writeBytes(ByteView bytes);
    // Precondition: at most 255 UTF-8 bytes (callers check their own limit first).
    void writeShortString(std::string_view text);

    // Room for count more bytes, so that a large field makes the array grow once.
    void reserve(std::size_t count) { bytes_.reserve(bytes_.size() + count); }
    // Overwrites four bytes already written at offset (a length known only
    // once what follows it has been written). Precondition: offset + 4 <= size().
    void patchU32(std::size_t offset, std::uint32_t value);

    const Bytes& bytes() const { return bytes_; }
    Bytes take() && { return std::move(bytes_); }
    std::size_t size() const { return bytes_.size(); }

private:
    Bytes bytes_;
};

} // namespace quillmere
