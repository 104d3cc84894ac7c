#include "Platform/ScreenCapture/PixelLayoutX11.h"

#include <gtest/gtest.h>

#include <cstring>
#include <variant>
#include <vector>

namespace quillmere {
namespace {

using Form = PixelLayoutX11::Form;
using Cause = UnreadablePixels::Cause;
using Visual = PixelLayoutX11::Visual;

constexpr std::uint8_t trueColor = XCB_VISUAL_CLASS_TRUE_COLOR;

Visual visual(int depth, int bitsPerPixel, std::uint32_t red, std::uint32_t green, std::uint32_t blue,
              std::uint8_t visualClass = trueColor, bool leastSignificantFirst = true) {
    return {depth, bitsPerPixel, 32, leastSignificantFirst, visualClass, red, green, blue};
}

// One channel of 0..255 placed in its mask as an X client does: cut to the
// mask's bits, or widened by repeating its high bits.
std::uint32_t place(std::uint32_t value, std::uint32_t mask) {
    const int shift = __builtin_ctz(mask);
    const int bits = __builtin_popcount(mask);
    const std::uint32_t scaled =
        bits < 8 ? value >> (8 - bits) : (value << (bits - 8)) | (bits > 8 ? value >> (16 - bits) : 0);
    return (scaled << shift) & mask;
}

// What a channel of that many bits stands for in 8 bits.
int widened(std::uint32_t value, std::uint32_t mask) {
    const int bits = __builtin_popcount(mask);
    if (bits >= 8) return static_cast<int>(value);
    const std::uint32_t kept = value >> (8 - bits);
    return static_cast<int>((kept << (8 - bits)) | (kept >> (2 * bits - 8)));
}

TEST(PixelLayoutX11, EachVisualIsReadByItsMasksOrRefusedWithItsCause) {
    struct Case {
        const char* name;
        Visual visual;
        std::variant<Form, Cause> expected;
    };
    const Case cases[] = {
        {"24 bits, red high", visual(24, 32, 0xFF0000, 0xFF00, 0xFF), Form::bgrx},
        {"32 bits with alpha", visual(32, 32, 0xFF0000, 0xFF00, 0xFF), Form::bgrx},
        {"24 bits, red low", visual(24, 32, 0xFF, 0xFF00, 0xFF0000), Form::rgbx},
        {"30 bits, red high", visual(30, 32, 0x3FF00000, 0xFFC00, 0x3FF), Form::ar30},
        {"30 bits, red low", visual(30, 32, 0x3FF, 0xFFC00, 0x3FF00000), Form::ab30},
        {"16 bits, 5:6:5", visual(16, 16, 0xF800, 0x7E0, 0x1F), Form::rgb565},
        {"15 bits, 5:5:5", visual(15, 16, 0x7C00, 0x3E0, 0x1F), Form::rgb555},
        {"16 bits, red low", visual(16, 16, 0x1F, 0x7E0, 0xF800), Cause::format},
        {"30 bits, green high", visual(30, 32, 0xFFC00, 0x3FF00000, 0x3FF), Cause::format},
        {"24 bits in three bytes", visual(24, 24, 0xFF0000, 0xFF00, 0xFF), Cause::format},
        {"16 bits, server's bytes the other way", visual(16, 16, 0xF800, 0x7E0, 0x1F, trueColor, false), Cause::format},
        {"24 bits through a colour map", visual(24, 32, 0xFF0000, 0xFF00, 0xFF, XCB_VISUAL_CLASS_DIRECT_COLOR),
         Cause::format},
        {"8 bits, a palette", visual(8, 8, 0, 0, 0, XCB_VISUAL_CLASS_PSEUDO_COLOR), Cause::depth},
        {"8 bits, 3:3:2", visual(8, 8, 0x7, 0x38, 0xC0), Cause::depth},
        {"12 bits", visual(12, 16, 0xF00, 0xF0, 0xF), Cause::depth},
    };
    for (const Case& c : cases) {
        const auto layout = PixelLayoutX11::of(c.visual);
        if (const Form* form = std::get_if<Form>(&c.expected)) {
            ASSERT_TRUE(layout.has_value()) << c.name;
            EXPECT_EQ(layout->form(), *form) << c.name;
            EXPECT_EQ(layout->converts(), *form != Form::bgrx) << c.name;
        } else {
            ASSERT_FALSE(layout.has_value()) << c.name;
            EXPECT_EQ(layout.error(), std::get<Cause>(c.expected)) << c.name;
        }
    }
}

// Every readable visual's pixels come out as B, G, R, X of the colours they
// stand for, rows of an odd width padded as the server pads them.
TEST(PixelLayoutX11, PixelsOfEveryReadableVisualBecomeTheirColoursInBgrx) {
    const Visual visuals[] = {
        visual(24, 32, 0xFF0000, 0xFF00, 0xFF), visual(24, 32, 0xFF, 0xFF00, 0xFF0000),
        visual(30, 32, 0x3FF00000, 0xFFC00, 0x3FF), visual(30, 32, 0x3FF, 0xFFC00, 0x3FF00000),
        visual(16, 16, 0xF800, 0x7E0, 0x1F), visual(15, 16, 0x7C00, 0x3E0, 0x1F),
    };
    const std::uint32_t colours[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x80C040, 0x123456};
    constexpr int width = std::size(colours);
    constexpr int height = 2;
    for (const Visual& v : visuals) {
        const auto layout = PixelLayoutX11::of(v);
        ASSERT_TRUE(layout.has_value());
        const std::size_t stride = layout->bytesPerRow(width);
        ASSERT_EQ(stride, v.bitsPerPixel == 16 ? 16u : 28u) << "a 32-bit pad after 7 pixels";
        std::vector<std::uint8_t> pixels(stride * height, 0xEE);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint32_t rgb = colours[x];
                const std::uint32_t value = place(rgb >> 16 & 0xFF, v.redMask) |
                                            place(rgb >> 8 & 0xFF, v.greenMask) | place(rgb & 0xFF, v.blueMask);
                std::memcpy(pixels.data() + y * stride + x * layout->bytesPerPixel(), &value,
                            static_cast<std::size_t>(layout->bytesPerPixel()));
            }
        }
        std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(width) * 4 * height);
        layout->convert(pixels.data(), stride, bgrx.data(), width * 4u, width, height);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const std::uint32_t rgb = colours[x];
                const std::uint8_t* out = bgrx.data() + (y * width + x) * 4;
                SCOPED_TRACE(::testing::Message() << "depth " << v.depth << " red mask " << std::hex << v.redMask
                                                << ", colour " << rgb << " at " << std::dec << x);
                EXPECT_NEAR(out[2], widened(rgb >> 16 & 0xFF, v.redMask), 1);
                EXPECT_NEAR(out[1], widened(rgb >> 8 & 0xFF, v.greenMask), 1);
                EXPECT_NEAR(out[0], widened(rgb & 0xFF, v.blueMask), 1);
            }
        }
    }
}

} // namespace
} // namespace quillmere
