#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// A failure of the Opus library, with the library's own code.
struct OpusError {
    enum class Kind : std::uint8_t { create, encode, decode };

    Kind kind = Kind::create;
    std::int32_t code = 0;

    static OpusError create(std::int32_t code) { return {Kind::create, code}; }
    static OpusError encode(std::int32_t code) { return {Kind::encode, code}; }
    static OpusError decode(std::int32_t code) { return {Kind::decode, code}; }

    // "opus encode failed (-1: invalid argument)"
    std::string description() const;
    bool operator==(const OpusError&) const = default;
};

} // namespace quillmere
