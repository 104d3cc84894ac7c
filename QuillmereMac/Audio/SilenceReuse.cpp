#include "QuillmereMac/Audio/SilenceReuse.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

bool SilenceReuse::isSilent(std::span<const float> frame) {
    return std::all_of(frame.begin(), frame.end(), [](float sample) { return std::fabs(sample) < threshold; });
}

SilenceReuse::Answer SilenceReuse::check(std::span<const float> frame) {
    if (!isSilent(frame)) {
        run = 0;
        cached.reset();
        return Answer::encode;
    }
    ++run;
    if (run == cachedAt) return Answer::encodeAndCache;
    if (run > cachedAt && cached) return Answer::reuse;
    return Answer::encode;
}

} // namespace quillmere
