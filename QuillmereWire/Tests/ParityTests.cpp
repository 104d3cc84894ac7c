#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "QuillmereWire/ParityFEC.h"
#include "QuillmereWire/ParityRecovery.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

EncodedFrame frameOf(std::size_t length, std::uint32_t frameID = 12) {
    EncodedFrame frame;
    frame.surfaceID = 2;
    frame.epoch = 4;
    frame.frameID = frameID;
    frame.configGeneration = 6;
    frame.flags = MediaHeader::Flags::keyframe;
    frame.captureTimeNs = 999;
    frame.data.resize(length);
    for (std::size_t i = 0; i < length; ++i) frame.data[i] = static_cast<std::uint8_t>(i * 7 + frameID);
    return frame;
}

std::vector<Bytes> plain(const std::vector<SharedBytes>& datagrams) {
    std::vector<Bytes> out;
    for (const SharedBytes& datagram : datagrams) out.push_back(datagram.toBytes());
    return out;
}

// The tests hold datagrams as plain arrays, so that they can damage them.
WireResult<std::vector<Bytes>> parityOf(const std::vector<Bytes>& datagrams, std::int64_t groupSize,
                                        std::optional<std::size_t> maxDatagramSize = std::nullopt) {
    std::vector<SharedBytes> shared;
    for (const Bytes& datagram : datagrams) shared.emplace_back(Bytes(datagram));
    auto parities = ParityFEC::parity(shared, groupSize, maxDatagramSize);
    if (!parities) return std::unexpected(parities.error());
    return plain(*parities);
}

// Fragments with 100-byte payloads: datagrams of 140 bytes.
std::vector<Bytes> fragmentsOf(const EncodedFrame& frame) {
    return plain(MediaFragmenter::fragment(frame, 140, 33).value());
}

std::vector<Bytes> paritiesOf(const std::vector<Bytes>& fragments, std::int64_t groupSize) {
    return parityOf(fragments, groupSize, 145).value();
}

MediaDatagram decoded(const Bytes& bytes) { return MediaDatagram::decode(viewOf(bytes)).value(); }

SharedBytes shared(const Bytes& bytes) { return SharedBytes(Bytes(bytes)); }

TEST(ParityFEC, BuildsOneParityPerGroupOfTwoOrMore) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360)); // payloads 100, 100, 100, 60
    ASSERT_EQ(fragments.size(), 4u);
    const std::vector<Bytes> parities = paritiesOf(fragments, 2);
    ASSERT_EQ(parities.size(), 2u);

    for (std::size_t group = 0; group < 2; ++group) {
        const MediaDatagram parity = decoded(parities[group]);
        MediaHeader expected = decoded(fragments[group * 2]).header;
        expected.kind = MediaHeader::Kind::parity;
        expected.fragmentIndex = static_cast<std::uint16_t>(group);
        expected.fragmentCount = 2;
        expected.totalLength = 105;
        EXPECT_EQ(parity.header, expected);
        ASSERT_EQ(parity.payload.size(), 105u);
        const ByteView a = decoded(fragments[group * 2]).payload;
        const ByteView b = decoded(fragments[group * 2 + 1]).payload;
        for (std::size_t i = 0; i < 100; ++i) {
            const std::uint8_t expectedByte = a[i] ^ (i < b.size() ? b[i] : 0);
            ASSERT_EQ(parity.payload[5 + i], expectedByte) << group << " " << i;
        }
    }
    const ByteView first = decoded(parities[0]).payload;
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 5), (Bytes{0, 0, 2, 0, 0}));
    const ByteView second = decoded(parities[1]).payload;
    EXPECT_EQ(Bytes(second.begin(), second.begin() + 5), (Bytes{0, 2, 2, 0, 88}));
}

TEST(ParityFEC, ATrailingSingleFragmentCountsAsAGroupWithoutParity) {
    const std::vector<Bytes> parities = paritiesOf(fragmentsOf(frameOf(450)), 2);
    ASSERT_EQ(parities.size(), 2u);
    EXPECT_EQ(decoded(parities[0]).header.fragmentCount, 3);
    EXPECT_EQ(decoded(parities[1]).header.fragmentCount, 3);
    EXPECT_EQ(decoded(parities[1]).header.fragmentIndex, 1);
}

TEST(ParityFEC, NothingToProtect) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    EXPECT_TRUE(parityOf(fragments, 1).value().empty());
    EXPECT_TRUE(parityOf(fragments, 0).value().empty());
    EXPECT_TRUE(parityOf({}, 4).value().empty());
}

TEST(ParityFEC, UndecodableDatagramsFail) {
    std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    fragments[2][0] = 7;
    EXPECT_EQ(parityOf(fragments, 2).error(), WireError::versionMismatch(7));
}

TEST(ParityFEC, NoParityDatagramIsLargerThanTheFragmentsAllow) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(1000)); // ten full 140-byte datagrams
    // By default the limit is the longest datagram given, which a full group's parity exceeds by 5.
    EXPECT_TRUE(parityOf(fragments, 4).value().empty());
    EXPECT_TRUE(parityOf(fragments, 4, 144).value().empty());
    const std::vector<Bytes> fitted = parityOf(fragments, 4, 145).value();
    EXPECT_EQ(fitted.size(), 3u);
    for (const Bytes& parity : fitted) EXPECT_LE(parity.size(), 145u);
}

TEST(ParityFEC, GroupSizeThatDoesNotFitItsByteIsRefused) {
    const std::vector<Bytes> many = plain(MediaFragmenter::fragment(frameOf(256 * 64), 104, 0).value());
    ASSERT_EQ(many.size(), 256u);
    EXPECT_EQ(parityOf(many, 256, 200).error(), WireError::outOfRange("parity.groupSize"));
    const std::vector<Bytes> fits = parityOf(many, 255, 200).value();
    ASSERT_EQ(fits.size(), 1u);
    EXPECT_EQ(decoded(fits[0]).payload[2], 255);

    // A large group size is fine while the frame is smaller than the field allows.
    const std::vector<Bytes> few = fragmentsOf(frameOf(360));
    const std::vector<Bytes> one = parityOf(few, 1000, 145).value();
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(decoded(one[0]).payload[2], 4);
}

TEST(ParityFEC, GroupsMustBeConsecutiveFragmentsOfOneFrame) {
    std::vector<Bytes> fragments = fragmentsOf(frameOf(400));
    std::swap(fragments[0], fragments[1]);
    EXPECT_EQ(parityOf(fragments, 2, 145).error(), WireError::outOfRange("parity.group"));

    std::vector<Bytes> mixed = fragmentsOf(frameOf(400));
    mixed[1] = fragmentsOf(frameOf(400, 13))[1];
    EXPECT_EQ(parityOf(mixed, 2, 145).error(), WireError::outOfRange("parity.group"));
    // Different frames in different groups are the caller's business.
    EXPECT_EQ(parityOf(mixed, 1, 145).value().size(), 0u);
}

TEST(ParityRecovery, RebuildsTheMissingFragmentWhenTheParityArrivesLast) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    const std::vector<Bytes> parities = paritiesOf(fragments, 2);
    ParityRecovery recovery(4);
    for (std::size_t index : {0u, 1u, 3u})
        EXPECT_EQ(plain(recovery.ingest(shared(fragments[index]))), std::vector<Bytes>{fragments[index]});
    const std::vector<SharedBytes> out = recovery.ingest(shared(parities[1]));
    ASSERT_EQ(out.size(), 1u);
    const MediaDatagram rebuilt = decoded(out[0].toBytes());
    MediaHeader expected = decoded(fragments[3]).header;
    expected.fragmentIndex = 2;
    EXPECT_EQ(rebuilt.header, expected);
    EXPECT_EQ(out[0].toBytes(), fragments[2]);
    EXPECT_EQ(recovery.recovered(), 1);
}

TEST(ParityRecovery, AParityBeforeItsFragmentsWaitsForTheLastButOne) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    const std::vector<Bytes> parities = paritiesOf(fragments, 4);
    ASSERT_EQ(parities.size(), 1u);
    ParityRecovery recovery(4);
    EXPECT_TRUE(recovery.ingest(shared(parities[0])).empty());
    EXPECT_EQ(recovery.ingest(shared(fragments[3])).size(), 1u);
    EXPECT_EQ(recovery.ingest(shared(fragments[0])).size(), 1u);
    const std::vector<SharedBytes> out = recovery.ingest(shared(fragments[2]));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].toBytes(), fragments[2]);
    EXPECT_EQ(out[1].toBytes(), fragments[1]);

    // Rebuilt once: the late original passes on again, nothing more is rebuilt.
    EXPECT_EQ(plain(recovery.ingest(shared(fragments[1]))), std::vector<Bytes>{fragments[1]});
    EXPECT_EQ(recovery.recovered(), 1);
}

TEST(ParityRecovery, TwoLossesInAGroupRebuildNothing) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    const std::vector<Bytes> parities = paritiesOf(fragments, 4);
    ParityRecovery recovery(4);
    recovery.ingest(shared(fragments[0]));
    recovery.ingest(shared(fragments[3]));
    EXPECT_TRUE(recovery.ingest(shared(parities[0])).empty());
    EXPECT_FALSE(recovery.reconstruct({2, 4, 12}).has_value());
    EXPECT_EQ(recovery.recovered(), 0);
}

TEST(ParityRecovery, OtherDatagramsPassThroughWithoutATrace) {
    ParityRecovery recovery(4);
    Bytes audio = fragmentsOf(frameOf(50))[0];
    audio[1] = 2;
    EXPECT_EQ(plain(recovery.ingest(shared(audio))), std::vector<Bytes>{audio});
    const Bytes junk{1, 2, 3};
    EXPECT_EQ(plain(recovery.ingest(shared(junk))), std::vector<Bytes>{junk});
    EXPECT_EQ(recovery.frameCount(), 0u);
    EXPECT_FALSE(recovery.reconstruct({1, 2, 3}).has_value());
}

TEST(ParityRecovery, KeepsOnlyTheMostRecentFrames) {
    const std::vector<Bytes> first = fragmentsOf(frameOf(360, 1));
    const std::vector<Bytes> second = fragmentsOf(frameOf(360, 2));
    ParityRecovery recovery(1);
    EXPECT_EQ(recovery.maxFrames(), 1);
    recovery.ingest(shared(first[0]));
    recovery.ingest(shared(second[0]));
    EXPECT_EQ(recovery.frameCount(), 1u);
    // Fragment 0 of the first frame is forgotten: its parity finds two missing.
    EXPECT_EQ(recovery.ingest(shared(paritiesOf(first, 2)[0])).size(), 0u);
    EXPECT_EQ(ParityRecovery(0).maxFrames(), 1);
}

TEST(ParityRecovery, EachSingleLossIsRebuiltAndTheFrameAssembles) {
    const EncodedFrame frame = frameOf(1030); // ten full fragments and a short eleventh
    const std::vector<Bytes> fragments = fragmentsOf(frame);
    ASSERT_EQ(fragments.size(), 11u);
    const std::vector<Bytes> parities = paritiesOf(fragments, 4);
    ASSERT_EQ(parities.size(), 3u);
    for (std::size_t lost = 0; lost < fragments.size(); ++lost) {
        ParityRecovery recovery(4);
        FrameAssembler assembler(2, AssemblyLimits(4, 1 << 20, 1'000'000));
        assembler.acceptConfigGeneration(6);
        std::vector<AssemblyEvent> events;
        auto pass = [&](const Bytes& datagram) {
            for (SharedBytes& out : recovery.ingest(shared(datagram))) {
                auto step = assembler.ingest(std::move(out), 0);
                events.insert(events.end(), step.begin(), step.end());
            }
        };
        for (std::size_t index = 0; index < fragments.size(); ++index)
            if (index != lost) pass(fragments[index]);
        for (const Bytes& parity : parities) pass(parity);
        ASSERT_EQ(events.size(), 1u) << "lost " << lost << ": " << events.back().description();
        ASSERT_TRUE(events[0].is<AssemblyEvent::Complete>()) << events[0].description();
        EXPECT_EQ(events[0].as<AssemblyEvent::Complete>()->frame.data, frame.data) << "lost " << lost;
        EXPECT_EQ(recovery.recovered(), 1);
    }
}

Bytes craftedParity(const Bytes& fragment, Bytes payload) {
    MediaHeader header = decoded(fragment).header;
    header.kind = MediaHeader::Kind::parity;
    header.fragmentIndex = 0;
    header.fragmentCount = 1;
    header.totalLength = static_cast<std::uint32_t>(payload.size());
    return MediaDatagram{header, viewOf(payload)}.encode().value();
}

TEST(ParityRecovery, NothingToRebuildFromGivesNothing) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    ParityRecovery recovery(4);
    recovery.ingest(shared(fragments[0]));
    // A group of one whose only fragment is missing: no fragment of it to take a header from.
    Bytes lone{0, 2, 1, 0, 10};
    lone.resize(15, 0xAB);
    EXPECT_TRUE(recovery.ingest(shared(craftedParity(fragments[0], lone))).empty());
    // Group size 0, a range past index 65535 and a payload too short to read.
    EXPECT_TRUE(recovery.ingest(shared(craftedParity(fragments[0], Bytes{0, 1, 0, 0, 0, 1}))).empty());
    EXPECT_TRUE(recovery.ingest(shared(craftedParity(fragments[0], Bytes{0xFF, 0xFF, 2, 0, 0, 1}))).empty());
    EXPECT_TRUE(recovery.ingest(shared(craftedParity(fragments[0], Bytes{0, 0, 2, 0}))).empty());
    // A length that the parity data cannot hold.
    EXPECT_TRUE(recovery.ingest(shared(craftedParity(fragments[0], Bytes{0, 0, 2, 0xFF, 0xFF, 1}))).empty());
    EXPECT_EQ(recovery.recovered(), 0);
}

TEST(ParityRecovery, AResentParityReplacesTheOneKeptForItsGroup) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    const std::vector<Bytes> parities = paritiesOf(fragments, 2);
    ParityRecovery recovery(4);
    Bytes damaged = parities[0];
    damaged[50] ^= 0xFF;
    for (int i = 0; i < 100; ++i) recovery.ingest(shared(damaged));
    recovery.ingest(shared(parities[0]));
    const std::vector<SharedBytes> out = recovery.ingest(shared(fragments[0]));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].toBytes(), fragments[1]);
}

TEST(ParityRecovery, KeptFragmentsOutliveTheCallersBuffers) {
    const std::vector<Bytes> fragments = fragmentsOf(frameOf(360));
    const std::vector<Bytes> parities = paritiesOf(fragments, 4);
    ParityRecovery recovery(4);
    for (std::size_t index : {0u, 1u, 3u}) {
        std::vector<SharedBytes> out = recovery.ingest(SharedBytes(Bytes(fragments[index])));
        out.clear();
    }
    const std::vector<SharedBytes> out = recovery.ingest(SharedBytes(Bytes(parities[0])));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].toBytes(), fragments[2]);
}

} // namespace
} // namespace quillmere
