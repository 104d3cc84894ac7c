#include "Platform/ScreenCapture/CursorImageX11.h"

#include "Platform/X11/XcbConnection.h"

#include <xcb/xfixes.h>

namespace quillmere {

CursorImageX11::CursorImageX11(std::unique_ptr<XcbConnection> connection) : connection_(std::move(connection)) {}

CursorImageX11::~CursorImageX11() = default;

std::optional<CursorImage> CursorImageX11::current() {
    xcb_connection_t* c = connection_->get();
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!reply) return std::nullopt;
    CursorImage image;
    image.width = reply->width;
    image.height = reply->height;
    image.hotX = reply->xhot;
    image.hotY = reply->yhot;
    const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    const int count = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
    if (count > 0) image.argb.assign(pixels, pixels + count);
    return image;
}

} // namespace quillmere
