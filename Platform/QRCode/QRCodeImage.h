#pragma once

#include <QImage>

#include <optional>
#include <string_view>

namespace quillmere {

// A standard QR code of a text, error correction level M, drawn black on
// white with the four-module quiet zone around it, each module scale x scale
// pixels.
struct QRCodeImage {
    static constexpr int quietZoneModules = 4;

    // None when the text does not fit a QR code or the scale is below 1.
    static std::optional<QImage> make(std::string_view text, int scale);
};

} // namespace quillmere
