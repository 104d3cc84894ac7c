#include "Platform/Permissions/PermissionsX11.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <memory>

namespace quillmere {

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

Connection connect(const std::string& displayName, int& screen) {
    Connection connection(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screen));
    if (xcb_connection_has_error(connection.get()) != 0) return nullptr;
    return connection;
}

} // namespace

bool PermissionsX11::displayOpens() const {
    int screenNumber = 0;
    return connect(displayName_, screenNumber) != nullptr;
}

bool PermissionsX11::screenCaptureAllowed() const {
    int screenNumber = 0;
    const Connection connection = connect(displayName_, screenNumber);
    if (!connection) return false;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    if (it.rem == 0) return false;
    xcb_generic_error_t* error = nullptr;
    xcb_get_image_reply_t* image = xcb_get_image_reply(
        connection.get(),
        xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, it.data->root, 0, 0, 1, 1, ~0u), &error);
    const bool read = image != nullptr && error == nullptr;
    std::free(image);
    std::free(error);
    return read;
}

bool PermissionsX11::inputPostingAllowed() const {
    int screenNumber = 0;
    const Connection connection = connect(displayName_, screenNumber);
    if (!connection) return false;
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection.get(), &xcb_test_id);
    return extension != nullptr && extension->present != 0;
}

} // namespace quillmere
