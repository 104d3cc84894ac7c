#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// One setting the encoder tried to make at creation, and what came of it.
struct EncoderPropertyStatus {
    // Status of a setting the encoder does not offer.
    static constexpr std::int32_t notSupported = -12900;

    std::string name;
    bool supported = false;
    std::int32_t status = 0;
    // The value read back after setting it, as the encoder describes it.
    std::optional<std::string> readBack;

    bool operator==(const EncoderPropertyStatus&) const = default;
};

} // namespace quillmere
