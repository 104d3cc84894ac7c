#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <expected>
#include <vector>

namespace quillmere {

// Between the two ways of delimiting NAL units: length prefixes and Annex B
// start codes.
namespace AnnexB {

struct Failure {
    enum class Kind : std::uint8_t { badLength, unsupportedLengthSize };

    Kind kind;
    // The byte offset of badLength, the size of unsupportedLengthSize.
    std::int64_t value;

    static Failure badLength(std::int64_t offset) { return {Kind::badLength, offset}; }
    static Failure unsupportedLengthSize(std::int64_t size) { return {Kind::unsupportedLengthSize, size}; }

    bool operator==(const Failure&) const = default;
};

// Length-prefixed units (big-endian prefixes of lengthSize bytes, 1 to 4) to
// Annex B with 4-byte start codes, in one pass.
std::expected<Bytes, Failure> convert(ByteView bytes, std::int64_t lengthSize);

// The NAL units of an Annex B stream (3- or 4-byte start codes), without
// their start codes or the zero bytes that pad the gaps between units.
// Bytes before the first start code are not a unit.
std::vector<ByteView> units(ByteView stream);

} // namespace AnnexB

} // namespace quillmere
