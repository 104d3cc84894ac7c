#pragma once

#include "QuillmereBase/ByteError.h"
#include "QuillmereBase/Bytes.h"

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
    ByteResult<ByteView> take(std::ptrdiff_t count);
    ByteResult<std::uint8_t> readU8();
    ByteResult<std::uint16_t> readU16();
    ByteResult<std::uint32_t> readU32();
    ByteResult<std::uint64_t> readU64();
    // A byte other than 0 or 1 is consumed and reported as invalidBoolean.
    ByteResult<bool> readBool();
    ByteResult<ByteView> readSlice(std::ptrdiff_t count) { return take(count); }
    ByteResult<Bytes> readBytes(std::ptrdiff_t count);
    // A length above maxBytes fails with outOfRange(field) before any text byte is read.
    ByteResult<std::string> readShortString(std::size_t maxBytes, std::string_view field);
    ByteStatus expectEnd() const;

private:
    ByteView bytes_;
    std::size_t first_;
    std::size_t offset_;
};

} // namespace quillmere
