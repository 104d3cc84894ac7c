#pragma once

#include "Platform/WindowList/UnreadablePixels.h"

#include <xcb/xcb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>

namespace quillmere {

// How a visual's pixels sit in the server's Z-format images, and what turns
// rows of them into B, G, R, X, which the rest of capture takes. Colours are
// found by the visual's masks: the depth alone does not say their order.
class PixelLayoutX11 {
public:
    enum class Form : std::uint8_t {
        // 32 bits a pixel, red in the high byte: B, G, R, X in memory already.
        bgrx,
        // 32 bits, red in the low byte.
        rgbx,
        // 2:10:10:10 in 32 bits, red high, then red low.
        ar30,
        ab30,
        // 5:6:5 and 1:5:5:5 in 16 bits, red high.
        rgb565,
        rgb555,
        // 8 bits, one index into the colour map for all three channels.
        index8,
    };

    // What the server says of a visual and of its depth's pixmap format.
    struct Visual {
        int depth = 0;
        int bitsPerPixel = 0;
        int scanlinePad = 32;
        bool leastSignificantFirst = true;
        std::uint8_t visualClass = XCB_VISUAL_CLASS_TRUE_COLOR;
        std::uint32_t redMask = 0;
        std::uint32_t greenMask = 0;
        std::uint32_t blueMask = 0;
    };

    // Why not when no conversion reads the visual: its depth has none, or
    // its colours are not plain masks in an order one knows.
    static std::expected<PixelLayoutX11, UnreadablePixels::Cause> of(const Visual& visual);
    // The visual as the setup lists it; nothing when the setup has no such
    // visual at that depth.
    static std::optional<Visual> describe(const xcb_setup_t& setup, std::uint8_t depth, xcb_visualid_t visual);

    Form form() const { return form_; }
    int bytesPerPixel() const {
        return form_ == Form::index8 ? 1 : form_ == Form::rgb565 || form_ == Form::rgb555 ? 2 : 4;
    }
    // The pixels hold colour-map indices, where red, green and blue of the
    // masks are each an index of its own (the same one for index8).
    bool looksUp() const { return looksUp_; }
    // Red, green and blue.
    const std::array<std::uint32_t, 3>& masks() const { return masks_; }
    // One image row of width pixels, padded as the server pads it.
    std::size_t bytesPerRow(int width) const;
    // False when the images are B, G, R, X as they come.
    bool converts() const { return form_ != Form::bgrx; }
    // width x height pixels of this layout to B, G, R, X, read as if the
    // colour map did nothing; index8 only a map can read.
    void convert(const std::uint8_t* pixels, std::size_t stride, std::uint8_t* bgrx, std::size_t bgrxStride, int width,
                 int height) const;

    bool operator==(const PixelLayoutX11&) const = default;

private:
    PixelLayoutX11(Form form, int scanlinePad, bool looksUp, std::array<std::uint32_t, 3> masks)
        : form_(form), scanlinePad_(scanlinePad), looksUp_(looksUp), masks_(masks) {}

    Form form_;
    int scanlinePad_;
    bool looksUp_;
    std::array<std::uint32_t, 3> masks_;
};

} // namespace quillmere
