#include "QuillmereWire/WireID.h"

namespace quillmere {

bool constantTimeEquals(ByteView lhs, ByteView rhs) {
    std::uint8_t diff = lhs.size() == rhs.size() ? 0 : 1;
    for (std::size_t i = 0; i < rhs.size() && i < lhs.size(); ++i) {
        diff |= static_cast<std::uint8_t>(lhs[i] ^ rhs[i]);
    }
    return diff == 0;
}

} // namespace quillmere
