#include "Platform/PixelBuffer/PixelBufferPool.h"

namespace quillmere {

struct PixelBufferPool::Shelf {
    std::mutex mutex;
    std::vector<std::unique_ptr<PixelBuffer>> free;
    std::int64_t allocated = 0;
};

namespace {

// Hands a buffer whose last reference went back to the shelf, or frees it
// when the pool is gone.
struct ReturnToShelf {
    std::weak_ptr<PixelBufferPool::Shelf> shelf;

    void operator()(PixelBuffer* buffer) const {
        std::unique_ptr<PixelBuffer> owned(buffer);
        if (auto alive = shelf.lock()) {
            std::lock_guard lock(alive->mutex);
            alive->free.push_back(std::move(owned));
        }
    }
};

} // namespace

PixelBufferPool::PixelBufferPool(std::uint32_t pixelFormat, int width, int height)
    : pixelFormat_(pixelFormat), width_(width), height_(height), shelf_(std::make_shared<Shelf>()) {}

std::expected<std::shared_ptr<PixelBufferPool>, std::int32_t> PixelBufferPool::make(std::uint32_t pixelFormat, int width,
                                                                                    int height, int minimumBufferCount) {
    std::shared_ptr<PixelBufferPool> pool(new PixelBufferPool(pixelFormat, width, height));
    // One trial buffer checks the format and size even when no minimum is asked.
    const int count = minimumBufferCount < 1 ? 1 : minimumBufferCount;
    for (int i = 0; i < count; ++i) {
        auto made = PixelBuffer::allocate(pixelFormat, width, height);
        if (!made) return std::unexpected(made.error());
        pool->shelf_->free.push_back(std::move(*made));
        ++pool->shelf_->allocated;
    }
    return pool;
}

std::expected<PixelBufferRef, std::int32_t> PixelBufferPool::createPixelBuffer() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(shelf_->mutex);
        if (!shelf_->free.empty()) {
            buffer = std::move(shelf_->free.back());
            shelf_->free.pop_back();
        }
    }
    if (!buffer) {
        auto made = PixelBuffer::allocate(pixelFormat_, width_, height_);
        if (!made) return std::unexpected(made.error());
        buffer = std::move(*made);
        std::lock_guard lock(shelf_->mutex);
        ++shelf_->allocated;
    }
    buffer->lockState_.store(0);
    return PixelBufferRef(buffer.release(), ReturnToShelf{shelf_});
}

std::int64_t PixelBufferPool::allocatedCount() const {
    std::lock_guard lock(shelf_->mutex);
    return shelf_->allocated;
}

std::int64_t PixelBufferPool::freeCount() const {
    std::lock_guard lock(shelf_->mutex);
    return static_cast<std::int64_t>(shelf_->free.size());
}

} // namespace quillmere
