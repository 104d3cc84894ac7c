#pragma once

// Hand-made payloads and frames for the control codec tests.

#include "QuillmereBase/ByteWriter.h"
#include "QuillmereBase/Bytes.h"

#include <initializer_list>
#include <string_view>

namespace quillmere::testing {

inline Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

// A payload written field by field: Payload().u32(1).u8(2).bytes().
class Payload {
public:
    Payload& u8(std::uint8_t v) { w_.writeU8(v); return *this; }
    Payload& u16(std::uint16_t v) { w_.writeU16(v); return *this; }
    Payload& u32(std::uint32_t v) { w_.writeU32(v); return *this; }
    Payload& u64(std::uint64_t v) { w_.writeU64(v); return *this; }
    Payload& fill(std::size_t count, std::uint8_t v) {
        for (std::size_t i = 0; i < count; ++i) w_.writeU8(v);
        return *this;
    }
    Payload& raw(std::string_view text) {
        for (char c : text) w_.writeU8(static_cast<std::uint8_t>(c));
        return *this;
    }
    // A length byte followed by the text's bytes.
    Payload& str(std::string_view text) {
        w_.writeU8(static_cast<std::uint8_t>(text.size()));
        return raw(text);
    }
    Bytes bytes() const { return w_.bytes(); }

private:
    ByteWriter w_;
};

inline Bytes frameOf(std::uint16_t type, std::uint16_t flags, const Bytes& payload) {
    ByteWriter w;
    w.writeU16(type);
    w.writeU16(flags);
    w.writeU32(static_cast<std::uint32_t>(payload.size()));
    w.writeBytes(viewOf(payload));
    return std::move(w).take();
}

} // namespace quillmere::testing
