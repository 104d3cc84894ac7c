#pragma once

#include "Platform/ScreenCapture/PixelLayoutX11.h"

#include <xcb/xcb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace quillmere {

class XcbConnection;

// What the pixels of a layout that looks up stand for: each channel's index
// in a pixel turned into the 8 bits its colour-map entry holds.
class ColourMapX11 {
public:
    // Asks the server for every entry of each channel, in one round trip;
    // what went wrong, in words for the log, when it cannot be read.
    static std::expected<ColourMapX11, std::string> read(XcbConnection& connection, xcb_colormap_t map,
                                                         const PixelLayoutX11& layout);

    // Looking up gives what the masks alone give: the pixels need no map.
    bool identity() const;
    // width x height pixels to B, G, R, X.
    void convert(const std::uint8_t* pixels, std::size_t stride, std::uint8_t* bgrx, std::size_t bgrxStride,
                 int width, int height) const;

    bool operator==(const ColourMapX11&) const = default;

private:
    // Entry i as the server gives it for the pixel with index i in every
    // channel (the last entry of a shorter channel for those beyond it).
    ColourMapX11(const PixelLayoutX11& layout, std::span<const xcb_rgb_t> entries);

    struct Channel {
        std::uint32_t mask = 0;
        int shift = 0;
        std::vector<std::uint8_t> levels;

        bool operator==(const Channel&) const = default;
    };
    // Blue, green and red, as they go out.
    std::array<Channel, 3> channels_;
    int bytesPerPixel_ = 4;
    bool sharedIndex_ = false;
};

} // namespace quillmere
