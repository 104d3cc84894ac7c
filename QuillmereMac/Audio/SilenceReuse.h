#pragma once

#include "QuillmereBase/SharedBytes.h"

#include <cstdint>
#include <optional>
#include <span>

namespace quillmere {

// During long silence one encoded packet stands for every silent frame: the
// tenth silent frame in a row is encoded and kept, and from the eleventh on
// that packet is sent again without encoding, until sound returns.
struct SilenceReuse {
    static constexpr float threshold = 1e-6F;
    static constexpr std::int64_t cachedAt = 10;

    enum class Answer : std::uint8_t { encode, encodeAndCache, reuse };

    std::int64_t run = 0;
    std::optional<SharedBytes> cached;

    // Every sample's magnitude below the threshold; an empty frame is silent.
    static bool isSilent(std::span<const float> frame);

    Answer check(std::span<const float> frame);
};

} // namespace quillmere
