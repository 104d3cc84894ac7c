#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/MediaFragmenter.h"

#include <gtest/gtest.h>

#include <numeric>

namespace quillmere {
namespace {

EncodedFrame frameOf(std::size_t length, MediaHeader::Flags flags = {}) {
    EncodedFrame frame;
    frame.surfaceID = 4;
    frame.epoch = 9;
    frame.frameID = 0xFFFFFFFF;
    frame.configGeneration = 3;
    frame.flags = flags;
    frame.captureTimeNs = 5'000'000'000ULL;
    frame.data.resize(length);
    for (std::size_t i = 0; i < length; ++i) frame.data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return frame;
}

std::vector<std::size_t> sizesOf(const std::vector<SharedBytes>& datagrams) {
    std::vector<std::size_t> sizes;
    for (const SharedBytes& datagram : datagrams) sizes.push_back(datagram.size());
    return sizes;
}

WireError fragmentError(const EncodedFrame& frame, std::int64_t usable) {
    return MediaFragmenter::fragment(frame, usable, 0).error();
}

TEST(MediaFragmenter, PayloadThatExactlyFillsOneDatagram) {
    auto datagrams = MediaFragmenter::fragment(frameOf(1160), 1200, 0);
    ASSERT_TRUE(datagrams.has_value());
    EXPECT_EQ(sizesOf(*datagrams), std::vector<std::size_t>{1200});
}

TEST(MediaFragmenter, OneByteOverNeedsASecondDatagram) {
    auto datagrams = MediaFragmenter::fragment(frameOf(1161), 1200, 0);
    ASSERT_TRUE(datagrams.has_value());
    EXPECT_EQ(sizesOf(*datagrams), (std::vector<std::size_t>{1200, 41}));
}

TEST(MediaFragmenter, SmallestDatagramSize) {
    EXPECT_EQ(fragmentError(frameOf(10), 103), WireError::outOfRange("media.usableDatagramSize"));
    EXPECT_EQ(fragmentError(frameOf(10), -1), WireError::outOfRange("media.usableDatagramSize"));
    auto datagrams = MediaFragmenter::fragment(frameOf(130), 104, 0);
    ASSERT_TRUE(datagrams.has_value());
    EXPECT_EQ(sizesOf(*datagrams), (std::vector<std::size_t>{104, 104, 42}));
}

TEST(MediaFragmenter, DatagramSizeIsCappedAt65535) {
    auto datagrams = MediaFragmenter::fragment(frameOf(65'496), 100'000, 0);
    ASSERT_TRUE(datagrams.has_value());
    EXPECT_EQ(sizesOf(*datagrams), (std::vector<std::size_t>{65'535, 41}));
}

TEST(MediaFragmenter, FragmentCountLimit) {
    auto most = MediaFragmenter::fragment(frameOf(131'072), 104, 0);
    ASSERT_TRUE(most.has_value());
    EXPECT_EQ(most->size(), 2048u);
    EXPECT_EQ(fragmentError(frameOf(131'073), 104), WireError::outOfRange("media.fragmentCount"));
}

TEST(MediaFragmenter, FrameLengthIsCheckedBeforeTheCount) {
    EXPECT_EQ(fragmentError(frameOf(0), 1200), WireError::outOfRange("media.totalLength"));
    EXPECT_EQ(fragmentError(frameOf(4'194'305), 104), WireError::outOfRange("media.totalLength"));
    EXPECT_EQ(fragmentError(frameOf(0), 10), WireError::outOfRange("media.usableDatagramSize"));
}

TEST(MediaFragmenter, HeaderErrorsOfTheFrameFailTheWholeFrame) {
    EncodedFrame frame = frameOf(5000);
    frame.surfaceID = 0;
    EXPECT_EQ(fragmentError(frame, 1200), WireError::outOfRange("media.surfaceID"));
    frame = frameOf(5000, MediaHeader::Flags{0x10});
    EXPECT_EQ(fragmentError(frame, 1200), WireError::outOfRange("media.flags"));
}

TEST(MediaFragmenter, FragmentsCarryTheFrameAndPutItBackTogether) {
    const EncodedFrame frame = frameOf(3000, MediaHeader::Flags::keyframe);
    auto datagrams = MediaFragmenter::fragment(frame, 1200, 4321);
    ASSERT_TRUE(datagrams.has_value());
    ASSERT_EQ(datagrams->size(), 3u);
    Bytes joined;
    for (std::size_t index = 0; index < datagrams->size(); ++index) {
        auto decoded = MediaDatagram::decode((*datagrams)[index].view());
        ASSERT_TRUE(decoded.has_value());
        const MediaHeader& header = decoded->header;
        EXPECT_EQ(header.kind, MediaHeader::Kind::video);
        EXPECT_EQ(header.flags, MediaHeader::Flags::keyframe);
        EXPECT_EQ(header.surfaceID, 4u);
        EXPECT_EQ(header.epoch, 9u);
        EXPECT_EQ(header.frameID, 0xFFFFFFFFu);
        EXPECT_EQ(header.configGeneration, 3u);
        EXPECT_EQ(header.fragmentIndex, index);
        EXPECT_EQ(header.fragmentCount, 3);
        EXPECT_EQ(header.totalLength, 3000u);
        EXPECT_EQ(header.captureTimeNs, 5'000'000'000ULL);
        EXPECT_EQ(header.sendOffsetUs, 4321u);
        joined.insert(joined.end(), decoded->payload.begin(), decoded->payload.end());
    }
    EXPECT_EQ(joined, frame.data);
}

TEST(MediaFragmenter, NoDatagramExceedsTheUsableSize) {
    for (std::int64_t usable : {104, 105, 1199, 1200, 1201, 1452}) {
        for (std::size_t length : {1u, 63u, 64u, 65u, 1159u, 1160u, 1161u, 5000u, 70'000u}) {
            auto datagrams = MediaFragmenter::fragment(frameOf(length), usable, 0);
            ASSERT_TRUE(datagrams.has_value()) << usable << " " << length;
            std::size_t payload = 0;
            for (std::size_t i = 0; i < datagrams->size(); ++i) {
                const std::size_t size = (*datagrams)[i].size();
                EXPECT_LE(size, static_cast<std::size_t>(usable));
                if (i + 1 < datagrams->size()) {
                    EXPECT_EQ(size, static_cast<std::size_t>(usable));
                }
                payload += size - 40;
            }
            EXPECT_EQ(payload, length);
        }
    }
}

} // namespace
} // namespace quillmere
