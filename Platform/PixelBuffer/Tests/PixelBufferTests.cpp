#include "Platform/PixelBuffer/PixelBufferPool.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(PixelBuffer, NV12HasAHalfSizeInterleavedChromaPlaneAndAlignedRows) {
    auto buffer = PixelBuffer::make(PixelFormat::nv12VideoRange, 1281, 721);
    ASSERT_TRUE(buffer);
    EXPECT_TRUE((*buffer)->isPlanar());
    ASSERT_EQ((*buffer)->planeCount(), 2u);
    EXPECT_EQ((*buffer)->planeWidth(1), 641);
    EXPECT_EQ((*buffer)->planeHeight(1), 361);
    EXPECT_EQ((*buffer)->planeBytesPerRow(0) % 64, 0u);
    EXPECT_GE((*buffer)->planeBytesPerRow(1), 1282u);
    EXPECT_TRUE((*buffer)->completePlanes());
    EXPECT_EQ((*buffer)->planeBaseAddress(2), nullptr);
}

TEST(PixelBuffer, RefusesSizesAndFormatsItCannotHold) {
    EXPECT_EQ(PixelBuffer::make(PixelFormat::bgra, 0, 10).error(), PixelBufferStatus::invalidSize);
    EXPECT_EQ(PixelBuffer::make(PixelFormat::bgra, 10, 1 << 20).error(), PixelBufferStatus::invalidSize);
    EXPECT_EQ(PixelBuffer::make(0x79757679, 10, 10).error(), PixelBufferStatus::invalidPixelFormat);
    std::vector<std::uint8_t> memory(100);
    EXPECT_EQ(PixelBuffer::wrap(PixelFormat::bgra, 10, 2, {{memory.data(), 10, 2, 39}}).error(),
              PixelBufferStatus::invalidArgument);
    EXPECT_EQ(PixelBuffer::wrap(PixelFormat::bgra, 10, 2, {{memory.data(), 10, 3, 40}}).error(),
              PixelBufferStatus::invalidArgument);
    EXPECT_EQ(PixelBuffer::wrap(PixelFormat::nv12VideoRange, 10, 2, {{memory.data(), 10, 2, 10}}).error(),
              PixelBufferStatus::invalidArgument);
}

TEST(PixelBuffer, WrappedMemoryIsReleasedWithTheLastReference) {
    std::vector<std::uint8_t> memory(80);
    int released = 0;
    auto buffer = PixelBuffer::wrap(PixelFormat::bgra, 10, 2, {{memory.data(), 10, 2, 40}}, [&] { ++released; });
    ASSERT_TRUE(buffer);
    auto second = *buffer;
    buffer->reset();
    EXPECT_EQ(released, 0);
    second.reset();
    EXPECT_EQ(released, 1);
}

TEST(PixelBuffer, ManyReadersOrOneWriter) {
    auto buffer = *PixelBuffer::make(PixelFormat::bgra, 4, 4);
    using Lock = PixelBuffer::Lock;
    EXPECT_EQ(buffer->lockBaseAddress(Lock::readOnly), PixelBufferStatus::success);
    EXPECT_EQ(buffer->lockBaseAddress(Lock::readOnly), PixelBufferStatus::success);
    EXPECT_NE(buffer->lockBaseAddress(Lock::readWrite), PixelBufferStatus::success);
    buffer->unlockBaseAddress(Lock::readOnly);
    buffer->unlockBaseAddress(Lock::readOnly);
    EXPECT_NE(buffer->unlockBaseAddress(Lock::readOnly), PixelBufferStatus::success);
    EXPECT_EQ(buffer->lockBaseAddress(Lock::readWrite), PixelBufferStatus::success);
    EXPECT_NE(buffer->lockBaseAddress(Lock::readOnly), PixelBufferStatus::success);
    EXPECT_EQ(buffer->unlockBaseAddress(Lock::readWrite), PixelBufferStatus::success);
}

TEST(PixelBufferPool, ReusesReturnedBuffersAndOutlivesNoneOfThem) {
    auto pool = PixelBufferPool::make(PixelFormat::nv12VideoRange, 64, 64, 3);
    ASSERT_TRUE(pool);
    EXPECT_EQ((*pool)->allocatedCount(), 3);
    std::vector<PixelBufferRef> held;
    for (int i = 0; i < 5; ++i) held.push_back(*(*pool)->createPixelBuffer());
    EXPECT_EQ((*pool)->allocatedCount(), 5);
    const auto* first = held.front().get();
    held.clear();
    EXPECT_EQ((*pool)->freeCount(), 5);
    for (int i = 0; i < 5; ++i) held.push_back(*(*pool)->createPixelBuffer());
    EXPECT_EQ((*pool)->allocatedCount(), 5);
    EXPECT_NE(std::find_if(held.begin(), held.end(), [&](const auto& b) { return b.get() == first; }), held.end());

    // Buffers still out when the pool goes are freed by their last holder.
    pool->reset();
    held.clear();
}

TEST(PixelBufferPool, ReportsTheStatusOfABadFormatOrSize) {
    EXPECT_EQ(PixelBufferPool::make(PixelFormat::nv12VideoRange, 0, 64, 3).error(), PixelBufferStatus::invalidSize);
    EXPECT_EQ(PixelBufferPool::make(1, 64, 64, 0).error(), PixelBufferStatus::invalidPixelFormat);
}

} // namespace
} // namespace quillmere
