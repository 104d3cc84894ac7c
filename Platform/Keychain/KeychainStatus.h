#pragma once

#include <cstdint>

namespace quillmere {

// Outcomes of keychain operations, numbered as the callers expect them.
struct KeychainStatus {
    static constexpr std::int32_t success = 0;
    static constexpr std::int32_t itemNotFound = -25300;
    static constexpr std::int32_t duplicateItem = -25299;
    static constexpr std::int32_t parameter = -50;
    static constexpr std::int32_t io = -36;
    // A record is there but cannot be taken for an item: never "not found".
    static constexpr std::int32_t decode = -26275;
};

} // namespace quillmere
