#pragma once

#include "QuillmereWire/Bytes.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

// Big-endian reader over a view it never copies. Positions are those of the
// underlying array: a reader over a slice starting at array index 10 starts
// with index() == 10.
class ByteReader {
public:
    explicit ByteReader(ByteView bytes, std::size_t firstIndex = 0)
        : bytes_(bytes), first_(firstIndex), offset_(0) {}

    std::size_t index() const { return first_ + offset_; }
    std::ptrdiff_t remaining() const { return static_cast<std::ptrdiff_t>(bytes_.size() - offset_); }

    // Consumes nothing on failure.
    WireResult<ByteView> take(std::ptrdiff_t count);
    WireResult<std::uint8_t> readU8();
    WireResult<std::uint16_t> readU16();
    WireResult<std::uint32_t> readU32();
    WireResult<std::uint64_t> readU64();
    // A byte other than 0 or 1 is consumed and reported as invalidBoolean.
    WireResult<bool> readBool();
    WireResult<ByteView> readSlice(std::ptrdiff_t count) { return take(count); }
    WireResult<Bytes> readBytes(std::ptrdiff_t count);
    // A length above maxBytes fails with outOfRange(field) before any text byte is read.
    WireResult<std::string> readShortString(std::size_t maxBytes, std::string_view field);
    WireStatus expectEnd() const;

private:
    ByteView bytes_;
    std::size_t first_;
    std::size_t offset_;
};

} // namespace quillmere
