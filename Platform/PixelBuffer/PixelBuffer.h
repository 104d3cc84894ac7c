#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere {

// Four-character codes of the pixel formats the media side handles.
struct PixelFormat {
    // Bi-planar 4:2:0, video range: a luma plane and an interleaved CbCr plane
    // at half width and half height ('420v').
    static constexpr std::uint32_t nv12VideoRange = 0x34323076;
    // One plane of 32-bit pixels, bytes B, G, R, A ('BGRA').
    static constexpr std::uint32_t bgra = 0x42475241;
};

// Statuses of pixel buffer and pool calls, in the values the media side
// reports for them.
struct PixelBufferStatus {
    static constexpr std::int32_t success = 0;
    static constexpr std::int32_t error = -6660;
    static constexpr std::int32_t invalidArgument = -6661;
    static constexpr std::int32_t allocationFailed = -6662;
    static constexpr std::int32_t invalidPixelFormat = -6680;
    static constexpr std::int32_t invalidSize = -6681;
};

// A frame's pixels, shared by reference between capture, change detection and
// the encoder; nobody copies them on the way. The CPU touches the pixels only
// between lockBaseAddress and unlockBaseAddress: any number of readers, or one
// writer.
class PixelBuffer {
public:
    struct Plane {
        std::uint8_t* base = nullptr;
        int width = 0;  // in columns: pixels, or CbCr pairs for the chroma plane
        int height = 0;
        std::size_t bytesPerRow = 0;
    };

    enum class Lock { readOnly, readWrite };

    // A buffer with its own memory, rows aligned to 64 bytes, contents unset.
    static std::expected<std::shared_ptr<PixelBuffer>, std::int32_t> make(std::uint32_t pixelFormat, int width,
                                                                          int height);
    // A buffer over memory owned elsewhere (shared memory, a test's array).
    // release runs when the last reference goes. Each plane is taken as
    // described: it may lack a base address or hold fewer rows or columns than
    // the format has at this size (a producer that rounds the chroma plane
    // down), never more; its rows must hold its columns. A refused wrap
    // takes nothing over: release is not run.
    static std::expected<std::shared_ptr<PixelBuffer>, std::int32_t> wrap(std::uint32_t pixelFormat, int width,
                                                                          int height, std::vector<Plane> planes,
                                                                          std::function<void()> release = {});

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    std::uint32_t pixelFormat() const { return pixelFormat_; }
    int width() const { return width_; }
    int height() const { return height_; }
    bool isPlanar() const { return pixelFormat_ == PixelFormat::nv12VideoRange; }
    // 0 for a buffer that is not planar.
    std::size_t planeCount() const { return isPlanar() ? planes_.size() : 0; }

    // Of the whole buffer (its only plane, or the first one).
    std::uint8_t* baseAddress() const { return planes_.empty() ? nullptr : planes_[0].base; }
    std::size_t bytesPerRow() const { return planes_.empty() ? 0 : planes_[0].bytesPerRow; }

    // Out-of-range planes give nothing and zero.
    std::uint8_t* planeBaseAddress(std::size_t plane) const;
    int planeWidth(std::size_t plane) const;
    int planeHeight(std::size_t plane) const;
    std::size_t planeBytesPerRow(std::size_t plane) const;
    // Bytes of one column of the plane, from the pixel format (not the stride).
    int planeBytesPerColumn(std::size_t plane) const;
    // Every plane has its memory and the rows and columns its format needs
    // at this size.
    bool completePlanes() const;

    // Fails with PixelBufferStatus::error while the lock would conflict with
    // one already held.
    std::int32_t lockBaseAddress(Lock lock);
    std::int32_t unlockBaseAddress(Lock lock);

    // The layout of a format's planes at a size; empty for a format this
    // system does not handle or a size below 1.
    static std::vector<Plane> planeShapes(std::uint32_t pixelFormat, int width, int height);
    static int bytesPerColumn(std::uint32_t pixelFormat, std::size_t plane);

private:
    friend class PixelBufferPool;

    static std::expected<std::unique_ptr<PixelBuffer>, std::int32_t> allocate(std::uint32_t pixelFormat, int width,
                                                                              int height);

    PixelBuffer(std::uint32_t pixelFormat, int width, int height) : pixelFormat_(pixelFormat), width_(width), height_(height) {}

    std::uint32_t pixelFormat_;
    int width_;
    int height_;
    std::vector<Plane> planes_;
    std::unique_ptr<std::uint8_t, void (*)(std::uint8_t*)> storage_{nullptr, nullptr};
    std::function<void()> release_;
    // Readers holding the lock, or -1 for a writer.
    std::atomic<int> lockState_{0};
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

} // namespace quillmere
