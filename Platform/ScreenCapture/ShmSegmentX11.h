#pragma once

#include "Platform/WindowList/ScreenCaptureError.h"

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>

namespace quillmere {

class XcbConnection;

// Shared memory the server writes images into (MIT-SHM 1.2: the server makes
// the segment and passes it as a file descriptor, so no IPC namespace needs
// to be shared). Mapped writable so the cursor can be drawn into an image.
class ShmSegmentX11 {
public:
    static std::expected<std::unique_ptr<ShmSegmentX11>, ScreenCaptureError> make(XcbConnection& connection,
                                                                                  std::size_t size);
    ~ShmSegmentX11();
    ShmSegmentX11(const ShmSegmentX11&) = delete;
    ShmSegmentX11& operator=(const ShmSegmentX11&) = delete;

    xcb_shm_seg_t segment() const { return segment_; }
    std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    ShmSegmentX11(XcbConnection& connection, xcb_shm_seg_t segment, std::uint8_t* data, std::size_t size)
        : connection_(connection), segment_(segment), data_(data), size_(size) {}

    XcbConnection& connection_;
    xcb_shm_seg_t segment_;
    std::uint8_t* data_;
    std::size_t size_;
};

} // namespace quillmere
