#pragma once

#include "QuillmereMac/Surface/CaptureChoice.h"
#include "QuillmereMac/Surface/SurfaceKey.h"

#include <memory>
#include <optional>
#include <utility>

namespace quillmere {

// What remote control needs to know of the live surfaces. Any thread; an
// implementation never calls back into control while answering.
class ControlSurfaces {
public:
    virtual ~ControlSurfaces() = default;

    // What a live surface shows; nothing when it is gone.
    virtual std::optional<CaptureChoice> choiceOf(const SurfaceKey& surface) = 0;
    // The connection's surface 1, else its lowest: the one control is asked for.
    virtual std::optional<std::pair<SurfaceKey, CaptureChoice>>
    controlCandidate(const std::shared_ptr<MediaConnection>& connection) = 0;
};

} // namespace quillmere
