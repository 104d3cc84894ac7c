#include "QuillmereBase/FixedBytes.h"

namespace quillmere {

std::string hexString(ByteView bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 4; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0F]);
    }
    return out;
}

bool constantTimeEquals(ByteView lhs, ByteView rhs) {
    std::uint8_t diff = lhs.size() == rhs.size() ? 0 : 1;
    for (std::size_t i = 0; i < rhs.size() && i < lhs.size(); ++i) {
        diff |= static_cast<std::uint8_t>(lhs[i] ^ rhs[i]);
    }
    return diff == 0;
}

} // namespace quillmere
