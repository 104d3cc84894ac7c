#include "Platform/ScreenCapture/ColourMapX11.h"

#include "Platform/X11/XcbConnection.h"

#include <algorithm>
#include <cstring>

namespace quillmere {

namespace {

int entriesOf(std::uint32_t mask) { return mask == 0 ? 1 : static_cast<int>(mask >> __builtin_ctz(mask)) + 1; }

// What the masks alone make of index i of a channel of this many bits, as
// the conversions without a map do: short channels repeat their high bits,
// long ones lose their low bits.
std::uint32_t unmapped(std::uint32_t i, int bits) {
    if (bits >= 8) return i >> (bits - 8);
    return (i << (8 - bits)) | (i >> std::max(2 * bits - 8, 0));
}

template <typename Pixel, typename Channels>
void lookUp(const Channels& channels, const std::uint8_t* pixels, std::size_t stride, std::uint8_t* bgrx,
            std::size_t bgrxStride, int width, int height) {
    const std::uint8_t* levels[3];
    std::uint32_t masks[3];
    int shifts[3];
    for (int k = 0; k < 3; ++k) {
        levels[k] = channels[k].levels.data();
        masks[k] = channels[k].mask;
        shifts[k] = channels[k].shift;
    }
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* in = pixels + static_cast<std::size_t>(row) * stride;
        std::uint8_t* out = bgrx + static_cast<std::size_t>(row) * bgrxStride;
        for (int x = 0; x < width; ++x, in += sizeof(Pixel), out += 4) {
            Pixel pixel;
            std::memcpy(&pixel, in, sizeof pixel);
            const std::uint32_t value = pixel;
            out[0] = levels[0][(value & masks[0]) >> shifts[0]];
            out[1] = levels[1][(value & masks[1]) >> shifts[1]];
            out[2] = levels[2][(value & masks[2]) >> shifts[2]];
            out[3] = 0xFF;
        }
    }
}

} // namespace

std::expected<ColourMapX11, std::string> ColourMapX11::read(XcbConnection& connection, xcb_colormap_t map,
                                                            const PixelLayoutX11& layout) {
    if (map == XCB_NONE) return std::unexpected(std::string("it has none"));
    // Pixel i holds index i in every channel, so that one request reads
    // each channel's entries on its own.
    int count = 0;
    for (const std::uint32_t mask : layout.masks()) count = std::max(count, entriesOf(mask));
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(count));
    for (const std::uint32_t mask : layout.masks()) {
        if (mask == 0) continue;
        for (int i = 0; i < count; ++i) {
            pixels[i] |= static_cast<std::uint32_t>(std::min(i, entriesOf(mask) - 1)) << __builtin_ctz(mask);
        }
    }
    xcb_connection_t* c = connection.get();
    xcb_generic_error_t* rawError = nullptr;
    XcbReply<xcb_query_colors_reply_t> reply(xcb_query_colors_reply(
        c, xcb_query_colors(c, map, static_cast<std::uint32_t>(count), pixels.data()), &rawError));
    XcbReply<xcb_generic_error_t> error(rawError);
    if (error) return std::unexpected(describeXcbError(*error));
    if (!reply || xcb_query_colors_colors_length(reply.get()) != count) {
        return std::unexpected(std::string("the server gave no answer"));
    }
    return ColourMapX11(layout, {xcb_query_colors_colors(reply.get()), static_cast<std::size_t>(count)});
}

ColourMapX11::ColourMapX11(const PixelLayoutX11& layout, std::span<const xcb_rgb_t> entries)
    : bytesPerPixel_(layout.bytesPerPixel()), sharedIndex_(layout.form() == PixelLayoutX11::Form::index8) {
    // The colour map's 16 bits a channel, cut to 8 as X clients do.
    constexpr std::uint16_t xcb_rgb_t::*parts[] = {&xcb_rgb_t::blue, &xcb_rgb_t::green, &xcb_rgb_t::red};
    for (int k = 0; k < 3; ++k) {
        Channel& channel = channels_[k];
        channel.mask = layout.masks()[2 - k];
        channel.shift = channel.mask == 0 ? 0 : __builtin_ctz(channel.mask);
        const int count = std::min<int>(entriesOf(channel.mask), static_cast<int>(entries.size()));
        channel.levels.assign(static_cast<std::size_t>(entriesOf(channel.mask)), 0);
        for (int i = 0; i < count; ++i) channel.levels[i] = static_cast<std::uint8_t>(entries[i].*parts[k] >> 8);
    }
}

bool ColourMapX11::identity() const {
    if (sharedIndex_) return false;
    return std::all_of(channels_.begin(), channels_.end(), [](const Channel& channel) {
        const int bits = __builtin_popcount(channel.mask);
        for (std::size_t i = 0; i < channel.levels.size(); ++i) {
            if (channel.levels[i] != unmapped(static_cast<std::uint32_t>(i), bits)) return false;
        }
        return true;
    });
}

void ColourMapX11::convert(const std::uint8_t* pixels, std::size_t stride, std::uint8_t* bgrx, std::size_t bgrxStride,
                           int width, int height) const {
    switch (bytesPerPixel_) {
    case 1: lookUp<std::uint8_t>(channels_, pixels, stride, bgrx, bgrxStride, width, height); return;
    case 2: lookUp<std::uint16_t>(channels_, pixels, stride, bgrx, bgrxStride, width, height); return;
    default: lookUp<std::uint32_t>(channels_, pixels, stride, bgrx, bgrxStride, width, height); return;
    }
}

} // namespace quillmere
