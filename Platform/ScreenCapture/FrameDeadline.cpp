#include "Platform/ScreenCapture/FrameDeadline.h"

#include <algorithm>

namespace quillmere {

std::uint64_t FrameDeadline::next(std::uint64_t due, std::uint64_t interval, std::uint64_t now) {
    interval = std::max<std::uint64_t>(interval, 1);
    if (due == 0 || now < due || now - due >= interval) return now + interval;
    return due + interval;
}

std::uint64_t FrameDeadline::notBefore(std::uint64_t stamped, std::uint64_t interval) {
    return stamped + (interval - interval / 4);
}

} // namespace quillmere
