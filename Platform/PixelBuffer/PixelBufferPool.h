#pragma once

#include "Platform/PixelBuffer/PixelBuffer.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <vector>

namespace quillmere {

// Buffers of one format and size, handed out and taken back when their last
// reference goes, so a steady flow of frames allocates nothing. A buffer may
// outlive its pool; it is then freed instead of returned.
class PixelBufferPool {
public:
    // Allocates minimumBufferCount buffers up front.
    static std::expected<std::shared_ptr<PixelBufferPool>, std::int32_t> make(std::uint32_t pixelFormat, int width,
                                                                              int height, int minimumBufferCount);

    // A free buffer, or a new one when all are in use. Its pixels are
    // whatever the last user left.
    std::expected<PixelBufferRef, std::int32_t> createPixelBuffer();

    std::uint32_t pixelFormat() const { return pixelFormat_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Buffers allocated over the pool's life.
    std::int64_t allocatedCount() const;
    std::int64_t freeCount() const;

    struct Shelf;

private:
    PixelBufferPool(std::uint32_t pixelFormat, int width, int height);

    std::uint32_t pixelFormat_;
    int width_;
    int height_;
    std::shared_ptr<Shelf> shelf_;
};

} // namespace quillmere
