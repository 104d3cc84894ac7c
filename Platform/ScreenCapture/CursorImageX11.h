#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class XcbConnection;

// The pointer's image as the X server shows it now, wherever the pointer is.
struct CursorImage {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t hotX = 0;
    std::int32_t hotY = 0;
    // Premultiplied ARGB, one word per pixel, rows top to bottom.
    std::vector<std::uint32_t> argb;

    bool operator==(const CursorImage&) const = default;
};

// Reads the current cursor image (XFixes) on a connection it is given and
// keeps. Not thread-safe: one thread samples.
class CursorImageX11 {
public:
    ~CursorImageX11();
    CursorImageX11(const CursorImageX11&) = delete;
    CursorImageX11& operator=(const CursorImageX11&) = delete;

    // One round trip; none when the server gives no image.
    std::optional<CursorImage> current();

    explicit CursorImageX11(std::unique_ptr<XcbConnection> connection);

private:
    std::unique_ptr<XcbConnection> connection_;
};

} // namespace quillmere
