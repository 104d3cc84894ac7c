#pragma once

#include "QuillmereMac/Control/ClipboardRequests.h"
#include "QuillmereMac/Control/ControlRequests.h"
#include "QuillmereMac/Display/DisplayRequests.h"
#include "QuillmereMac/Media/SurfaceRequests.h"

#include <concepts>
#include <memory>

namespace quillmere {

// Everything a host connection asks of the media side, as the application's
// media pipeline answers it.
class SessionMediaDelegate : public SurfaceRequests,
                             public ControlRequests,
                             public ClipboardRequests,
                             public DisplayRequests {};

// Where a connection sends each kind of request, held weakly; a role left
// empty is refused as when the media side is gone.
struct MediaRoles {
    std::weak_ptr<SurfaceRequests> surfaces;
    std::weak_ptr<ControlRequests> control;
    std::weak_ptr<ClipboardRequests> clipboard;
    std::weak_ptr<DisplayRequests> displays;

    MediaRoles() = default;
    MediaRoles(std::weak_ptr<SurfaceRequests> surfaces, std::weak_ptr<ControlRequests> control,
               std::weak_ptr<ClipboardRequests> clipboard, std::weak_ptr<DisplayRequests> displays)
        : surfaces(std::move(surfaces)), control(std::move(control)), clipboard(std::move(clipboard)),
          displays(std::move(displays)) {}
    // Every role played by one media side.
    MediaRoles(const std::weak_ptr<SessionMediaDelegate>& media) // NOLINT: one side for all roles reads best
        : surfaces(media), control(media), clipboard(media), displays(media) {}
    template <std::derived_from<SessionMediaDelegate> Media>
    MediaRoles(const std::shared_ptr<Media>& media) // NOLINT
        : MediaRoles(std::weak_ptr<SessionMediaDelegate>(media)) {}
};

} // namespace quillmere
