#include "Platform/Permissions/PermissionsX11.h"

#include <xcb/xtest.h>

#include <cstdlib>

namespace quillmere {

bool PermissionsX11::displayOpens() const { return open_().has_value(); }

bool PermissionsX11::screenCaptureAllowed() const {
    const auto opened = open_();
    if (!opened) return false;
    const XcbConnection& connection = **opened;
    const auto screen = static_cast<std::size_t>(connection.defaultScreenNumber());
    if (screen >= connection.screens().size()) return false;
    xcb_generic_error_t* error = nullptr;
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        connection.get(),
        xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, connection.screens()[screen]->root, 0, 0, 1, 1, ~0u),
        &error);
    const bool read = image != nullptr && error == nullptr;
    std::free(image);
    std::free(error);
    return read;
}

bool PermissionsX11::inputPostingAllowed() const {
    const auto opened = open_();
    if (!opened) return false;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data((*opened)->get(), &xcb_test_id);
    return extension != nullptr && extension->present != 0;
}

} // namespace quillmere
