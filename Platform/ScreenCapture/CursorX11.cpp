#include "Platform/ScreenCapture/CursorX11.h"

#include "Platform/X11/XcbConnection.h"

#include <algorithm>

namespace quillmere {

CursorX11::CursorX11(XcbConnection& connection, xcb_window_t root) : connection_(connection) {
    if (connection_.extensions().xfixes) {
        xcb_xfixes_select_cursor_input(connection_.get(), root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
}

void CursorX11::handleEvent(const xcb_generic_event_t& event) {
    const XcbExtensions& extensions = connection_.extensions();
    if (extensions.xfixes && (event.response_type & 0x7F) == extensions.xfixesFirstEvent + XCB_XFIXES_CURSOR_NOTIFY) {
        imageStale_ = true;
    }
}

void CursorX11::request(xcb_window_t relativeTo) {
    xcb_connection_t* c = connection_.get();
    pointerCookie_ = xcb_query_pointer(c, relativeTo);
    if (imageStale_ && connection_.extensions().xfixes) {
        imageCookie_ = xcb_xfixes_get_cursor_image(c);
        imageStale_ = false;
    }
}

void CursorX11::collect() {
    xcb_connection_t* c = connection_.get();
    if (pointerCookie_) {
        XcbReply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(c, *pointerCookie_, nullptr));
        pointerCookie_.reset();
        onScreen_ = pointer && pointer->same_screen;
        if (onScreen_) {
            x_ = pointer->win_x;
            y_ = pointer->win_y;
        }
    }
    if (imageCookie_) {
        XcbReply<xcb_xfixes_get_cursor_image_reply_t> image(
            xcb_xfixes_get_cursor_image_reply(c, *imageCookie_, nullptr));
        imageCookie_.reset();
        if (!image) {
            imageStale_ = true;
            return;
        }
        width_ = image->width;
        height_ = image->height;
        hotX_ = image->xhot;
        hotY_ = image->yhot;
        const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(image.get());
        const int count = xcb_xfixes_get_cursor_image_cursor_image_length(image.get());
        pixels_.assign(pixels, pixels + count);
        ++serial_;
    }
}

std::optional<ScreenRect> CursorX11::placement(int originX, int originY) const {
    if (!onScreen_ || width_ <= 0 || height_ <= 0 || pixels_.size() < static_cast<std::size_t>(width_) * height_) {
        return std::nullopt;
    }
    return ScreenRect{x_ - originX - hotX_, y_ - originY - hotY_, width_, height_};
}

void CursorX11::draw(ScreenImage& image, const ScreenRect& where) const {
    const int left = std::max(where.x, 0);
    const int top = std::max(where.y, 0);
    const int right = std::min(where.x + where.width, image.width);
    const int bottom = std::min(where.y + where.height, image.height);
    for (int y = top; y < bottom; ++y) {
        std::uint8_t* row = image.pixels + static_cast<std::size_t>(y) * image.bytesPerRow;
        const std::uint32_t* source = pixels_.data() + static_cast<std::size_t>(y - where.y) * width_;
        for (int x = left; x < right; ++x) {
            const std::uint32_t argb = source[x - where.x];
            const std::uint32_t alpha = argb >> 24;
            if (alpha == 0) continue;
            std::uint8_t* pixel = row + 4 * x;
            const std::uint32_t keep = 255 - alpha;
            // Premultiplied: source colour plus what shows through.
            pixel[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (argb & 0xFF) + (pixel[0] * keep + 127) / 255));
            pixel[1] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>(255, ((argb >> 8) & 0xFF) + (pixel[1] * keep + 127) / 255));
            pixel[2] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>(255, ((argb >> 16) & 0xFF) + (pixel[2] * keep + 127) / 255));
        }
    }
}

} // namespace quillmere
