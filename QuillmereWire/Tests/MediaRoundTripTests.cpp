#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "QuillmereWire/ParityFEC.h"
#include "QuillmereWire/ParityRecovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

namespace quillmere {
namespace {

constexpr std::uint32_t surface = 3;
constexpr std::uint32_t generation = 1;
constexpr std::int64_t datagramSize = 1200;
constexpr std::int64_t groupSize = 4;

struct Channel {
    double loss = 0;
    double duplication = 0;
    double corruption = 0;
    std::size_t reorderWindow = 0;
    double epochChange = 0;
};

struct Sent {
    std::map<std::pair<std::uint32_t, std::uint32_t>, Bytes> frames; // (epoch, frameID) -> data
    std::vector<SharedBytes> datagrams;
};

// Frames cut 5 bytes short of the datagram size, so their parity fits too.
Sent send(std::mt19937& random, std::size_t frameCount, const Channel& channel, std::uint32_t firstFrameID) {
    Sent sent;
    std::uint32_t epoch = random();
    for (std::size_t n = 0; n < frameCount; ++n) {
        if (std::bernoulli_distribution(channel.epochChange)(random)) ++epoch;
        EncodedFrame frame;
        frame.surfaceID = surface;
        frame.epoch = epoch;
        frame.frameID = firstFrameID + static_cast<std::uint32_t>(n);
        frame.configGeneration = generation;
        const int kind = std::uniform_int_distribution<int>(0, 9)(random);
        frame.flags = kind == 0 ? MediaHeader::Flags::keyframe
                    : kind == 1 ? MediaHeader::Flags::discardable
                                : MediaHeader::Flags{};
        frame.data.resize(std::uniform_int_distribution<std::size_t>(1, 12'000)(random));
        for (auto& byte : frame.data) byte = static_cast<std::uint8_t>(random());
        auto fragments = MediaFragmenter::fragment(frame, datagramSize - 5, 0).value();
        auto parities = ParityFEC::parity(fragments, groupSize, datagramSize).value();
        sent.frames[{frame.epoch, frame.frameID}] = frame.data;
        sent.datagrams.insert(sent.datagrams.end(), fragments.begin(), fragments.end());
        sent.datagrams.insert(sent.datagrams.end(), parities.begin(), parities.end());
    }
    return sent;
}

struct Received {
    std::map<std::pair<std::uint32_t, std::uint32_t>, Bytes> frames;
    std::set<std::pair<std::uint32_t, std::uint32_t>> tainted;
    std::int64_t duplicatesDelivered = 0;
};

Received receive(std::mt19937& random, const std::vector<SharedBytes>& sent, const Channel& channel,
                 const AssemblyLimits& limits) {
    Received received;
    std::vector<Bytes> wire;
    for (const SharedBytes& original : sent) {
        Bytes datagram = original.toBytes();
        if (std::bernoulli_distribution(channel.loss)(random)) continue;
        if (std::bernoulli_distribution(channel.corruption)(random)) {
            if (auto before = MediaDatagram::decode(viewOf(datagram)))
                received.tainted.insert({before->header.epoch, before->header.frameID});
            datagram[std::uniform_int_distribution<std::size_t>(0, datagram.size() - 1)(random)] ^=
                static_cast<std::uint8_t>(1 + random() % 255);
            if (auto after = MediaDatagram::decode(viewOf(datagram)))
                received.tainted.insert({after->header.epoch, after->header.frameID});
        }
        if (std::bernoulli_distribution(channel.duplication)(random)) wire.push_back(datagram);
        wire.push_back(std::move(datagram));
    }
    // Each datagram moves up to reorderWindow places later.
    for (std::size_t i = 0; i + 1 < wire.size() && channel.reorderWindow > 0; ++i) {
        const std::size_t j = std::min(wire.size() - 1, i + random() % (channel.reorderWindow + 1));
        std::swap(wire[i], wire[j]);
    }

    ParityRecovery recovery(8);
    FrameAssembler assembler(surface, limits);
    assembler.acceptConfigGeneration(generation);
    std::uint64_t nowNs = 0;
    for (Bytes& datagram : wire) {
        nowNs += 50'000;
        for (SharedBytes& passed : recovery.ingest(SharedBytes(std::move(datagram)))) {
            for (const AssemblyEvent& event : assembler.ingest(std::move(passed), nowNs)) {
                if (const auto* complete = event.as<AssemblyEvent::Complete>()) {
                    const auto key = std::make_pair(complete->frame.epoch, complete->frame.frameID);
                    if (!received.frames.emplace(key, complete->frame.data).second) ++received.duplicatesDelivered;
                }
            }
            EXPECT_LE(static_cast<std::int64_t>(assembler.partialFrameCount()), limits.maxFramesInFlight);
            EXPECT_LE(assembler.bytesHeld(), limits.maxBytes);
        }
    }
    return received;
}

void expectNoCorruptFrame(const Sent& sent, const Received& received) {
    EXPECT_EQ(received.duplicatesDelivered, 0);
    for (const auto& [key, data] : received.frames) {
        if (received.tainted.contains(key)) continue;
        auto original = sent.frames.find(key);
        ASSERT_NE(original, sent.frames.end()) << "frame " << key.second << " was never sent";
        EXPECT_EQ(data, original->second) << "frame " << key.second << " came out corrupted";
    }
}

TEST(MediaRoundTrip, CleanChannelDeliversEveryFrameAcrossTheWrap) {
    std::mt19937 random(7);
    const Channel channel;
    const Sent sent = send(random, 40, channel, 0xFFFFFFF0);
    const Received received = receive(random, sent.datagrams, channel, AssemblyLimits(4, 1 << 20, 50'000'000));
    EXPECT_EQ(received.frames, sent.frames);
}

TEST(MediaRoundTrip, ParityMakesUpForLightLoss) {
    std::mt19937 random(11);
    Channel channel;
    channel.loss = 0.01;
    const Sent sent = send(random, 200, channel, 1);
    const Received received = receive(random, sent.datagrams, channel, AssemblyLimits(4, 1 << 20, 50'000'000));
    expectNoCorruptFrame(sent, received);
    // About one frame in ten loses a fragment; parity brings most of them back.
    EXPECT_GT(received.frames.size(), sent.frames.size() * 95 / 100);
}

TEST(MediaRoundTrip, RandomDisorderNeverYieldsACorruptedFrame) {
    std::size_t checked = 0;
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        Channel channel;
        channel.loss = 0.05 * (seed % 4);
        channel.duplication = 0.05 * (seed % 3);
        channel.corruption = seed % 5 == 0 ? 0.01 : 0.0;
        channel.reorderWindow = seed % 6 * 8;
        channel.epochChange = seed % 7 == 0 ? 0.05 : 0.0;
        const Sent sent = send(random, 60, channel, seed * 0x10000000u);
        const AssemblyLimits limits(1 + seed % 5, 8'000 + seed * 1'000, 2'000'000 + seed * 100'000);
        const Received received = receive(random, sent.datagrams, channel, limits);
        SCOPED_TRACE(::testing::Message() << "seed " << seed);
        expectNoCorruptFrame(sent, received);
        for (const auto& entry : received.frames) checked += received.tainted.contains(entry.first) ? 0 : 1;
    }
    // The check above must have had frames to look at.
    EXPECT_GT(checked, 40u * 60 / 4);
}

} // namespace
} // namespace quillmere
