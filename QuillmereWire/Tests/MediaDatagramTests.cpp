#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/MediaDatagram.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

MediaHeader validHeader() {
    MediaHeader header;
    header.kind = MediaHeader::Kind::video;
    header.surfaceID = 7;
    header.epoch = 3;
    header.frameID = 99;
    header.configGeneration = 2;
    header.fragmentIndex = 0;
    header.fragmentCount = 1;
    header.totalLength = 4;
    header.captureTimeNs = 123456789;
    header.sendOffsetUs = 250;
    return header;
}

Bytes encoded(const MediaHeader& header, const Bytes& payload) {
    return MediaDatagram{header, viewOf(payload)}.encode().value();
}

WireError validationError(const MediaHeader& header) { return header.validate().error(); }

TEST(MediaHeader, WritesTheDocumentedLayout) {
    MediaHeader header = validHeader();
    header.flags = MediaHeader::Flags::keyframe | MediaHeader::Flags::configChanged;
    header.surfaceID = 0x01020304;
    header.epoch = 0x05060708;
    header.frameID = 0x090A0B0C;
    header.configGeneration = 0x0D0E0F10;
    header.fragmentIndex = 0x0001;
    header.fragmentCount = 0x0203;
    header.totalLength = 0x00040506;
    header.captureTimeNs = 0x1112131415161718ULL;
    header.sendOffsetUs = 0x191A1B1C;
    ByteWriter writer;
    ASSERT_TRUE(header.encode(writer).has_value());
    const Bytes expected = {1,    1,    0x03, 0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,
                            11,   12,   13,   14,   15,   16,   0,    1,    2,    3,    0,    4,    5,    6,
                            0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C};
    EXPECT_EQ(writer.bytes(), expected);
    EXPECT_EQ(writer.size(), MediaHeader::headerSize);
}

TEST(MediaHeader, EveryFieldAtItsLimitRoundTrips) {
    MediaHeader header = validHeader();
    header.kind = MediaHeader::Kind::pose;
    header.flags = MediaHeader::Flags{0x07};
    header.surfaceID = 0xFFFFFFFF;
    header.epoch = 0xFFFFFFFF;
    header.frameID = 0xFFFFFFFF;
    header.configGeneration = 0xFFFFFFFF;
    header.fragmentCount = 2048;
    header.fragmentIndex = 2047;
    header.totalLength = 4'194'304;
    header.captureTimeNs = ~0ULL;
    header.sendOffsetUs = 0xFFFFFFFF;
    const Bytes bytes = encoded(header, Bytes(3, 0xAA));
    auto decoded = MediaDatagram::decode(viewOf(bytes));
    ASSERT_TRUE(decoded.has_value()) << decoded.error().description();
    EXPECT_EQ(decoded->header, header);
    EXPECT_EQ(decoded->payload.size(), 3u);
}

TEST(MediaHeader, ChecksEachFieldAtItsBoundary) {
    MediaHeader header = validHeader();
    header.flags = MediaHeader::Flags{0x08};
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.flags"));

    header = validHeader();
    header.surfaceID = 0;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.surfaceID"));

    header = validHeader();
    header.fragmentCount = 0;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.fragmentCount"));
    header.fragmentCount = 2049;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.fragmentCount"));

    header = validHeader();
    header.fragmentCount = 5;
    header.fragmentIndex = 5;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.fragmentIndex"));
    header.fragmentIndex = 4;
    EXPECT_TRUE(header.validate().has_value());

    header = validHeader();
    header.totalLength = 0;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.totalLength"));
    header.totalLength = 4'194'305;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.totalLength"));
}

TEST(MediaHeader, FirstFailingCheckWins) {
    MediaHeader header = validHeader();
    header.surfaceID = 0;
    header.fragmentCount = 0;
    header.totalLength = 0;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.surfaceID"));
    header.flags = MediaHeader::Flags{0x10};
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.flags"));
    header = validHeader();
    header.fragmentIndex = 1;
    header.totalLength = 0;
    EXPECT_EQ(validationError(header), WireError::outOfRange("media.fragmentIndex"));
}

TEST(MediaHeader, FailedEncodeAppendsNothing) {
    MediaHeader header = validHeader();
    header.surfaceID = 0;
    ByteWriter writer;
    writer.writeU8(0x55);
    EXPECT_FALSE(header.encode(writer).has_value());
    EXPECT_EQ(writer.bytes(), Bytes{0x55});
}

TEST(MediaHeader, KindsFromRawBytes) {
    EXPECT_FALSE(MediaHeader::kindFromRaw(0).has_value());
    EXPECT_FALSE(MediaHeader::kindFromRaw(5).has_value());
    EXPECT_EQ(MediaHeader::kindFromRaw(3), MediaHeader::Kind::parity);
    EXPECT_EQ(MediaHeader::rawKind(MediaHeader::Kind::audio), 2);
    EXPECT_EQ(enumName(MediaHeader::Kind::pose), "pose");
}

TEST(MediaDatagram, PayloadMustHoldOneToTotalLengthBytes) {
    MediaHeader header = validHeader();
    header.totalLength = 1;
    const Bytes bare = encoded(header, Bytes{9});
    const Bytes headerOnly(bare.begin(), bare.begin() + 40);
    EXPECT_EQ(MediaDatagram::decode(viewOf(headerOnly)).error(), WireError::outOfRange("media.payload"));
    auto one = MediaDatagram::decode(viewOf(bare));
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->payload.size(), 1u);

    Bytes overlong = bare;
    overlong.push_back(10);
    EXPECT_EQ(MediaDatagram::decode(viewOf(overlong)).error(), WireError::outOfRange("media.payload"));
    const Bytes two{1, 2};
    EXPECT_EQ((MediaDatagram{header, viewOf(two)}.encode().error()), WireError::outOfRange("media.payload"));
    EXPECT_EQ((MediaDatagram{header, ByteView()}.encode().error()), WireError::outOfRange("media.payload"));
}

TEST(MediaDatagram, PayloadCheckComesBeforeTheHeaderOnEncode) {
    MediaHeader header = validHeader();
    header.surfaceID = 0;
    EXPECT_EQ((MediaDatagram{header, ByteView()}.encode().error()), WireError::outOfRange("media.payload"));
}

TEST(MediaDatagram, VersionIsCheckedFirst) {
    Bytes bytes = encoded(validHeader(), Bytes(4, 1));
    bytes[0] = 2;
    EXPECT_EQ(MediaDatagram::decode(viewOf(bytes)).error(), WireError::versionMismatch(2));
    const Bytes lone{0xEE};
    EXPECT_EQ(MediaDatagram::decode(viewOf(lone)).error(), WireError::versionMismatch(0xEE));
    EXPECT_EQ(MediaDatagram::decode(ByteView()).error(), WireError::truncated());
}

TEST(MediaDatagram, RejectsUnknownKindsAndReservedBits) {
    const Bytes good = encoded(validHeader(), Bytes(4, 1));
    for (std::uint8_t kind : {0, 5}) {
        Bytes bytes = good;
        bytes[1] = kind;
        EXPECT_EQ(MediaDatagram::decode(viewOf(bytes)).error(), WireError::unknownValue("media.kind", kind));
    }
    Bytes reserved = good;
    reserved[3] = 1;
    EXPECT_EQ(MediaDatagram::decode(viewOf(reserved)).error(), WireError::reservedBitsSet());
    Bytes flags = good;
    flags[2] = 0x08;
    EXPECT_EQ(MediaDatagram::decode(viewOf(flags)).error(), WireError::reservedBitsSet());

    MediaHeader header = validHeader();
    header.flags = MediaHeader::Flags{0x08};
    const Bytes payload(4, 1);
    EXPECT_EQ((MediaDatagram{header, viewOf(payload)}.encode().error()), WireError::outOfRange("media.flags"));
}

TEST(MediaDatagram, ShortInputIsTruncated) {
    const Bytes good = encoded(validHeader(), Bytes(4, 1));
    for (std::size_t length : {2u, 3u, 20u, 39u}) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_EQ(MediaDatagram::decode(viewOf(cut)).error(), WireError::truncated()) << length;
    }
}

TEST(MediaDatagram, DecodedHeaderIsValidated) {
    MediaHeader header = validHeader();
    header.fragmentCount = 2;
    Bytes bytes = encoded(header, Bytes(4, 1));
    bytes[20] = 0, bytes[21] = 2; // fragmentIndex = fragmentCount
    EXPECT_EQ(MediaDatagram::decode(viewOf(bytes)).error(), WireError::outOfRange("media.fragmentIndex"));
}

TEST(MediaDatagram, DecodingViewsTheInputAndReencodesIt) {
    const Bytes payload{1, 2, 3, 4};
    const Bytes bytes = encoded(validHeader(), payload);
    auto decoded = MediaDatagram::decode(viewOf(bytes));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->payload.data(), bytes.data() + 40);
    EXPECT_EQ(decoded->encode().value(), bytes);
    EXPECT_EQ(*decoded, (MediaDatagram{validHeader(), viewOf(payload)}));
}

TEST(SharedBytes, SlicesKeepTheBufferAlive) {
    SharedBytes slice;
    {
        SharedBytes whole(Bytes{1, 2, 3, 4, 5});
        slice = whole.slice(1, 3);
    }
    EXPECT_EQ(slice.toBytes(), (Bytes{2, 3, 4}));
    EXPECT_EQ(slice.slice(2, 10).toBytes(), Bytes{4});
    EXPECT_TRUE(slice.slice(9, 1).empty());
    EXPECT_EQ(slice, SharedBytes::copyOf(viewOf(Bytes{2, 3, 4})));
}

} // namespace
} // namespace quillmere
