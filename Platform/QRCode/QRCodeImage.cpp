#include "Platform/QRCode/QRCodeImage.h"

#include <qrencode.h>

#include <memory>

namespace quillmere {

namespace {

struct CodeFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

} // namespace

std::optional<QImage> QRCodeImage::make(std::string_view text, int scale) {
    if (scale < 1 || text.size() > 8192) return std::nullopt;
    // Encoded as bytes, so the text comes back exactly as given.
    std::unique_ptr<QRcode, CodeFree> code(QRcode_encodeData(static_cast<int>(text.size()),
                                                             reinterpret_cast<const unsigned char*>(text.data()), 0,
                                                             QR_ECLEVEL_M));
    if (!code || code->width < 1) return std::nullopt;

    const int modules = code->width + 2 * quietZoneModules;
    if (modules > 32767 / scale) return std::nullopt;
    QImage image(modules * scale, modules * scale, QImage::Format_Grayscale8);
    if (image.isNull()) return std::nullopt;
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if ((code->data[y * code->width + x] & 1) == 0) continue;
            const int left = (x + quietZoneModules) * scale;
            const int top = (y + quietZoneModules) * scale;
            for (int row = top; row < top + scale; ++row) {
                uchar* line = image.scanLine(row);
                std::fill(line + left, line + left + scale, uchar{0});
            }
        }
    }
    return image;
}

} // namespace quillmere
