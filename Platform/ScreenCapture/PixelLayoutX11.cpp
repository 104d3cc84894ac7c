#include "Platform/ScreenCapture/PixelLayoutX11.h"

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstring>

namespace quillmere {

namespace {

struct Known {
    int depth;
    int bitsPerPixel;
    std::uint32_t red;
    std::uint32_t green;
    std::uint32_t blue;
    PixelLayoutX11::Form form;
};

using Form = PixelLayoutX11::Form;

constexpr Known known[] = {
    {24, 32, 0xFF0000, 0x00FF00, 0x0000FF, Form::bgrx},
    {32, 32, 0xFF0000, 0x00FF00, 0x0000FF, Form::bgrx},
    {24, 32, 0x0000FF, 0x00FF00, 0xFF0000, Form::rgbx},
    {32, 32, 0x0000FF, 0x00FF00, 0xFF0000, Form::rgbx},
    {30, 32, 0x3FF00000, 0x000FFC00, 0x000003FF, Form::ar30},
    {30, 32, 0x000003FF, 0x000FFC00, 0x3FF00000, Form::ab30},
    {16, 16, 0xF800, 0x07E0, 0x001F, Form::rgb565},
    {15, 16, 0x7C00, 0x03E0, 0x001F, Form::rgb555},
};

} // namespace

std::expected<PixelLayoutX11, UnreadablePixels::Cause> PixelLayoutX11::of(const Visual& visual) {
    const bool masked =
        visual.visualClass == XCB_VISUAL_CLASS_TRUE_COLOR || visual.visualClass == XCB_VISUAL_CLASS_DIRECT_COLOR;
    const bool padded = visual.scanlinePad >= 8 && visual.scanlinePad % 8 == 0;
    // A palette of up to 256 entries: each pixel one byte, its colour in the map.
    if (!masked && visual.depth >= 1 && visual.depth <= 8 && visual.bitsPerPixel == 8 && padded) {
        const std::uint32_t index = (1u << visual.depth) - 1;
        return PixelLayoutX11(Form::index8, visual.scanlinePad, true, {index, index, index});
    }
    const bool depthKnown =
        std::any_of(std::begin(known), std::end(known), [&](const Known& k) { return k.depth == visual.depth; });
    if (!depthKnown) return std::unexpected(UnreadablePixels::Cause::depth);
    if (!masked) return std::unexpected(UnreadablePixels::Cause::colourMap);
    // The server's byte order other than this one's would need every pixel swapped.
    if (!visual.leastSignificantFirst || !padded) return std::unexpected(UnreadablePixels::Cause::format);
    for (const Known& k : known) {
        if (k.depth == visual.depth && k.bitsPerPixel == visual.bitsPerPixel && k.red == visual.redMask &&
            k.green == visual.greenMask && k.blue == visual.blueMask) {
            return PixelLayoutX11(k.form, visual.scanlinePad, visual.visualClass == XCB_VISUAL_CLASS_DIRECT_COLOR,
                                  {k.red, k.green, k.blue});
        }
    }
    return std::unexpected(UnreadablePixels::Cause::format);
}

std::optional<PixelLayoutX11::Visual> PixelLayoutX11::describe(const xcb_setup_t& setup, std::uint8_t depth,
                                                               xcb_visualid_t visualID) {
    Visual visual;
    visual.depth = depth;
    visual.leastSignificantFirst = setup.image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    for (auto it = xcb_setup_pixmap_formats_iterator(&setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth != depth) continue;
        visual.bitsPerPixel = it.data->bits_per_pixel;
        visual.scanlinePad = it.data->scanline_pad;
    }
    if (visual.bitsPerPixel == 0) return std::nullopt;
    for (auto screen = xcb_setup_roots_iterator(&setup); screen.rem > 0; xcb_screen_next(&screen)) {
        for (auto depths = xcb_screen_allowed_depths_iterator(screen.data); depths.rem > 0; xcb_depth_next(&depths)) {
            if (depths.data->depth != depth) continue;
            for (auto it = xcb_depth_visuals_iterator(depths.data); it.rem > 0; xcb_visualtype_next(&it)) {
                if (it.data->visual_id != visualID) continue;
                visual.visualClass = it.data->_class;
                visual.redMask = it.data->red_mask;
                visual.greenMask = it.data->green_mask;
                visual.blueMask = it.data->blue_mask;
                return visual;
            }
        }
    }
    return std::nullopt;
}

std::size_t PixelLayoutX11::bytesPerRow(int width) const {
    const std::size_t bits = static_cast<std::size_t>(std::max(width, 0)) * bytesPerPixel() * 8;
    const auto pad = static_cast<std::size_t>(scanlinePad_);
    return (bits + pad - 1) / pad * pad / 8;
}

void PixelLayoutX11::convert(const std::uint8_t* pixels, std::size_t stride, std::uint8_t* bgrx,
                             std::size_t bgrxStride, int width, int height) const {
    const int from = static_cast<int>(stride);
    const int to = static_cast<int>(bgrxStride);
    switch (form_) {
    case Form::bgrx:
        for (int row = 0; row < height; ++row) {
            std::memcpy(bgrx + static_cast<std::size_t>(row) * bgrxStride,
                        pixels + static_cast<std::size_t>(row) * stride, static_cast<std::size_t>(width) * 4);
        }
        return;
    case Form::rgbx: libyuv::ABGRToARGB(pixels, from, bgrx, to, width, height); return;
    case Form::ar30: libyuv::AR30ToARGB(pixels, from, bgrx, to, width, height); return;
    // Read as if red were high, red and blue come out swapped, where they belong.
    case Form::ab30: libyuv::AR30ToABGR(pixels, from, bgrx, to, width, height); return;
    case Form::rgb565: libyuv::RGB565ToARGB(pixels, from, bgrx, to, width, height); return;
    case Form::rgb555: libyuv::ARGB1555ToARGB(pixels, from, bgrx, to, width, height); return;
    case Form::index8: return;
    }
}

} // namespace quillmere
