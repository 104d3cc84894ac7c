#include "Platform/PixelBuffer/PixelBuffer.h"

#include <cstdlib>
#include <limits>

namespace quillmere {
namespace {

constexpr std::size_t rowAlignment = 64;
// Keeps every plane's size and every row offset far inside size_t and int.
constexpr int maximumSide = 1 << 15;

std::size_t alignedRow(std::size_t bytes) { return (bytes + rowAlignment - 1) / rowAlignment * rowAlignment; }

void freeAligned(std::uint8_t* memory) { std::free(memory); }

} // namespace

std::vector<PixelBuffer::Plane> PixelBuffer::planeShapes(std::uint32_t pixelFormat, int width, int height) {
    if (width < 1 || height < 1) return {};
    switch (pixelFormat) {
    case PixelFormat::nv12VideoRange:
        return {Plane{nullptr, width, height, 0}, Plane{nullptr, (width + 1) / 2, (height + 1) / 2, 0}};
    case PixelFormat::bgra:
        return {Plane{nullptr, width, height, 0}};
    default:
        return {};
    }
}

int PixelBuffer::bytesPerColumn(std::uint32_t pixelFormat, std::size_t plane) {
    switch (pixelFormat) {
    case PixelFormat::nv12VideoRange:
        return plane == 0 ? 1 : plane == 1 ? 2 : 0;
    case PixelFormat::bgra:
        return plane == 0 ? 4 : 0;
    default:
        return 0;
    }
}

std::expected<std::shared_ptr<PixelBuffer>, std::int32_t> PixelBuffer::make(std::uint32_t pixelFormat, int width,
                                                                            int height) {
    auto buffer = allocate(pixelFormat, width, height);
    if (!buffer) return std::unexpected(buffer.error());
    return std::shared_ptr<PixelBuffer>(std::move(*buffer));
}

std::expected<std::unique_ptr<PixelBuffer>, std::int32_t> PixelBuffer::allocate(std::uint32_t pixelFormat, int width,
                                                                                int height) {
    if (width < 1 || height < 1 || width > maximumSide || height > maximumSide)
        return std::unexpected(PixelBufferStatus::invalidSize);
    auto planes = planeShapes(pixelFormat, width, height);
    if (planes.empty()) return std::unexpected(PixelBufferStatus::invalidPixelFormat);

    std::size_t total = 0;
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < planes.size(); ++i) {
        planes[i].bytesPerRow = alignedRow(static_cast<std::size_t>(planes[i].width) * bytesPerColumn(pixelFormat, i));
        offsets.push_back(total);
        total += planes[i].bytesPerRow * static_cast<std::size_t>(planes[i].height);
    }
    auto* memory = static_cast<std::uint8_t*>(std::aligned_alloc(rowAlignment, total));
    if (memory == nullptr) return std::unexpected(PixelBufferStatus::allocationFailed);

    std::unique_ptr<PixelBuffer> buffer(new PixelBuffer(pixelFormat, width, height));
    buffer->storage_ = {memory, &freeAligned};
    for (std::size_t i = 0; i < planes.size(); ++i) planes[i].base = memory + offsets[i];
    buffer->planes_ = std::move(planes);
    return buffer;
}

std::expected<std::shared_ptr<PixelBuffer>, std::int32_t> PixelBuffer::wrap(std::uint32_t pixelFormat, int width,
                                                                            int height, std::vector<Plane> planes,
                                                                            std::function<void()> release) {
    if (width < 1 || height < 1 || width > maximumSide || height > maximumSide)
        return std::unexpected(PixelBufferStatus::invalidSize);
    const auto shapes = planeShapes(pixelFormat, width, height);
    if (shapes.empty()) return std::unexpected(PixelBufferStatus::invalidPixelFormat);
    if (planes.size() != shapes.size()) return std::unexpected(PixelBufferStatus::invalidArgument);
    for (std::size_t i = 0; i < planes.size(); ++i) {
        const Plane& plane = planes[i];
        if (plane.width < 0 || plane.height < 0 || plane.width > shapes[i].width || plane.height > shapes[i].height)
            return std::unexpected(PixelBufferStatus::invalidArgument);
        const std::size_t rowBytes = static_cast<std::size_t>(plane.width) * bytesPerColumn(pixelFormat, i);
        if (plane.bytesPerRow < rowBytes) return std::unexpected(PixelBufferStatus::invalidArgument);
    }
    std::shared_ptr<PixelBuffer> buffer(new PixelBuffer(pixelFormat, width, height));
    buffer->planes_ = std::move(planes);
    buffer->release_ = std::move(release);
    return buffer;
}

PixelBuffer::~PixelBuffer() {
    if (release_) release_();
}

std::uint8_t* PixelBuffer::planeBaseAddress(std::size_t plane) const {
    return plane < planes_.size() ? planes_[plane].base : nullptr;
}

int PixelBuffer::planeWidth(std::size_t plane) const { return plane < planes_.size() ? planes_[plane].width : 0; }

int PixelBuffer::planeHeight(std::size_t plane) const { return plane < planes_.size() ? planes_[plane].height : 0; }

std::size_t PixelBuffer::planeBytesPerRow(std::size_t plane) const {
    return plane < planes_.size() ? planes_[plane].bytesPerRow : 0;
}

int PixelBuffer::planeBytesPerColumn(std::size_t plane) const {
    return plane < planes_.size() ? bytesPerColumn(pixelFormat_, plane) : 0;
}

bool PixelBuffer::completePlanes() const {
    const auto shapes = planeShapes(pixelFormat_, width_, height_);
    if (shapes.size() != planes_.size()) return false;
    for (std::size_t i = 0; i < planes_.size(); ++i) {
        if (planes_[i].base == nullptr || planes_[i].width < shapes[i].width || planes_[i].height < shapes[i].height)
            return false;
    }
    return true;
}

std::int32_t PixelBuffer::lockBaseAddress(Lock lock) {
    int state = lockState_.load();
    if (lock == Lock::readWrite) {
        int idle = 0;
        return lockState_.compare_exchange_strong(idle, -1) ? PixelBufferStatus::success : PixelBufferStatus::error;
    }
    while (state >= 0) {
        if (state == std::numeric_limits<int>::max()) return PixelBufferStatus::error;
        if (lockState_.compare_exchange_weak(state, state + 1)) return PixelBufferStatus::success;
    }
    return PixelBufferStatus::error;
}

std::int32_t PixelBuffer::unlockBaseAddress(Lock lock) {
    if (lock == Lock::readWrite) {
        int writer = -1;
        return lockState_.compare_exchange_strong(writer, 0) ? PixelBufferStatus::success : PixelBufferStatus::error;
    }
    int state = lockState_.load();
    while (state > 0) {
        if (lockState_.compare_exchange_weak(state, state - 1)) return PixelBufferStatus::success;
    }
    return PixelBufferStatus::error;
}

} // namespace quillmere
