#pragma once

#include <cstdint>

namespace quillmere {

// The pixel box a client asks for a surface (its surface budget), as asked:
// clamping happens only on the way to the capture source.
struct RequestedBox {
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const RequestedBox&) const = default;
};

} // namespace quillmere
