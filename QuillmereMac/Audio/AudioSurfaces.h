#pragma once

#include "QuillmereMac/Surface/CaptureChoice.h"
#include "QuillmereMac/Surface/MediaConnection.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quillmere {

// What routed audio needs to know of a connection's surfaces. Any thread.
class AudioSurfaces {
public:
    virtual ~AudioSurfaces() = default;

    // The connection's surfaces that are not paused, with what each shows.
    virtual std::vector<std::pair<std::uint32_t, CaptureChoice>>
    audibleSurfaces(const std::shared_ptr<MediaConnection>& connection) = 0;
};

} // namespace quillmere
