#include "Platform/ScreenCapture/PixelLayoutX11.h"

#include <gtest/gtest.h>

#include <cstring>
#include <variant>
#include <vector>

namespace quillmere {
namespace {

using Form = PixelLayoutX11::Form;
using Cause = UnreadablePixels::Cause;

PixelLayoutX11::Visual visual(int depth, int bitsPerPixel, std::uint32_t red, std::uint32_t green, std::uint32_t blue,
                              bool leastSignificantFirst = true) {
    return {depth, bitsPerPixel, 32, leastSignificantFirst, XCB_VISUAL_CLASS_TRUE_COLOR, red, green, blue};
}

// One channel of 0..255 placed in its mask as an X client does: cut to the
// mask's bits, or widened by repeating its high bits.
std::uint32_t place(std::uint32_t value, std::uint32_t mask) {
    const int bits = __builtin_popcount(mask);
    const std::uint32_t scaled = bits <= 8 ? value >> (8 - bits) : (value << (bits - 8)) | (value >> (16 - bits));
    return (scaled << __builtin_ctz(mask)) & mask;
}

// The layouts the colour tests of real displays do not meet. Seven pixels a
// row: 16-bit rows are padded to 32 bits.
TEST(PixelLayoutX11, EachVisualIsReadByItsMasksOrRefusedWithItsCause) {
    const struct {
        const char* name;
        PixelLayoutX11::Visual visual;
        std::variant<Form, Cause> expected;
    } cases[] = {
        {"24 bits, red low", visual(24, 32, 0xFF, 0xFF00, 0xFF0000), Form::rgbx},
        {"30 bits, red low", visual(30, 32, 0x3FF, 0xFFC00, 0x3FF00000), Form::ab30},
        {"16 bits, 5:6:5", visual(16, 16, 0xF800, 0x7E0, 0x1F), Form::rgb565},
        // Each mask is compared: one channel a bit short.
        {"16 bits, 4:6:5", visual(16, 16, 0x7800, 0x7E0, 0x1F), Cause::format},
        {"16 bits, 5:5:5", visual(16, 16, 0xF800, 0x7C0, 0x1F), Cause::format},
        {"16 bits, 5:6:4", visual(16, 16, 0xF800, 0x7E0, 0xF), Cause::format},
        {"24 bits in three bytes", visual(24, 24, 0xFF0000, 0xFF00, 0xFF), Cause::format},
        {"16 bits, server's bytes the other way", visual(16, 16, 0xF800, 0x7E0, 0x1F, false), Cause::format},
        {"8 bits, 3:3:2", visual(8, 8, 0x7, 0x38, 0xC0), Cause::depth},
    };
    constexpr std::uint32_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x80C040, 0x123456};
    constexpr int width = std::size(colours);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto layout = PixelLayoutX11::of(c.visual);
        if (const Cause* cause = std::get_if<Cause>(&c.expected)) {
            ASSERT_FALSE(layout.has_value());
            EXPECT_EQ(layout.error(), *cause);
            continue;
        }
        ASSERT_TRUE(layout.has_value());
        EXPECT_EQ(layout->form(), std::get<Form>(c.expected));
        const std::size_t stride = layout->bytesPerRow(width);
        ASSERT_EQ(stride, c.visual.bitsPerPixel == 16 ? 16u : 28u);
        // Blue, green and red, as in B, G, R, X.
        const std::uint32_t masks[] = {c.visual.blueMask, c.visual.greenMask, c.visual.redMask};
        // Two rows, so that the second starts after the first one's pad.
        std::vector<std::uint8_t> pixels(stride * 2, 0xEE), bgrx(width * 4 * 2);
        for (int i = 0; i < 2 * width; ++i) {
            std::uint32_t value = 0;
            for (int k = 0; k < 3; ++k) value |= place(colours[i % width] >> (8 * k) & 0xFF, masks[k]);
            std::memcpy(pixels.data() + i / width * stride + i % width * layout->bytesPerPixel(), &value,
                        static_cast<std::size_t>(layout->bytesPerPixel()));
        }
        layout->convert(pixels.data(), stride, bgrx.data(), width * 4u, width, 2);
        const int tolerance = layout->bytesPerPixel() == 2 ? 7 : 0; // what 5 bits keep
        for (int i = 0; i < 2 * width; ++i) {
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(bgrx[i * 4 + k], colours[i % width] >> (8 * k) & 0xFF, tolerance) << i << ", " << k;
        }
    }
}

} // namespace
} // namespace quillmere
