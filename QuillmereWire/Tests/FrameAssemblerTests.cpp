#include "QuillmereWire/FrameAssembler.h"
#include "QuillmereWire/MediaDatagram.h"
#include "QuillmereWire/MediaFragmenter.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Events = std::vector<AssemblyEvent>;
using Reason = FrameLossReason;

constexpr std::uint32_t surface = 5;
constexpr std::uint32_t generation = 1;
// 104-byte datagrams carry 64 payload bytes each.
constexpr std::int64_t smallDatagrams = 104;

struct FrameShape {
    std::uint32_t frameID = 1;
    std::size_t length = 64;
    std::uint32_t epoch = 1;
    std::uint32_t configGeneration = generation;
    MediaHeader::Flags flags{};
    std::uint32_t surfaceID = surface;
};

Bytes contentOf(const FrameShape& shape) {
    Bytes data(shape.length);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(shape.frameID * 13 + i);
    return data;
}

std::vector<Bytes> cut(const FrameShape& shape) {
    EncodedFrame frame;
    frame.surfaceID = shape.surfaceID;
    frame.epoch = shape.epoch;
    frame.frameID = shape.frameID;
    frame.configGeneration = shape.configGeneration;
    frame.flags = shape.flags;
    frame.captureTimeNs = 1000 + shape.frameID;
    frame.data = contentOf(shape);
    const std::vector<SharedBytes> datagrams = MediaFragmenter::fragment(frame, smallDatagrams, 77).value();
    std::vector<Bytes> out;
    for (const SharedBytes& datagram : datagrams) out.push_back(datagram.toBytes());
    return out;
}

FrameAssembler assembler(AssemblyLimits limits = AssemblyLimits(8, 1 << 20, 1'000'000)) {
    FrameAssembler out(surface, limits);
    EXPECT_TRUE(out.acceptConfigGeneration(generation).empty());
    return out;
}

// The assembler gets its own buffer: the caller's copy dies right after the call.
Events feed(FrameAssembler& target, const Bytes& datagram, std::uint64_t nowNs = 0) {
    return target.ingest(SharedBytes(Bytes(datagram)), nowNs);
}

AssemblyEvent lost(std::uint32_t frameID, Reason reason, std::uint32_t epoch = 1, bool reference = true) {
    return AssemblyEvent::lost(frameID, epoch, reference, reason);
}

AssemblyEvent rejected(RejectReason reason) { return AssemblyEvent::rejected(std::move(reason)); }

const AssembledFrame& completed(const Events& events) {
    static const AssembledFrame none;
    if (events.empty() || !events.back().is<AssemblyEvent::Complete>()) {
        ADD_FAILURE() << "no frame completed";
        return none;
    }
    return events.back().as<AssemblyEvent::Complete>()->frame;
}

void deliver(FrameAssembler& target, const FrameShape& shape, std::uint64_t nowNs = 0) {
    Events last;
    for (const Bytes& datagram : cut(shape)) last = feed(target, datagram, nowNs);
    EXPECT_EQ(completed(last).data, contentOf(shape));
}

TEST(FrameAssembler, OneFragmentFrameCompletesOnItsFirstDatagram) {
    FrameAssembler target = assembler();
    const FrameShape shape{.frameID = 3, .length = 50, .flags = MediaHeader::Flags::keyframe};
    const Events events = feed(target, cut(shape)[0], 4242);
    ASSERT_EQ(events.size(), 1u);
    const AssembledFrame& frame = completed(events);
    EXPECT_EQ(frame.surfaceID, surface);
    EXPECT_EQ(frame.epoch, 1u);
    EXPECT_EQ(frame.frameID, 3u);
    EXPECT_EQ(frame.configGeneration, generation);
    EXPECT_EQ(frame.flags, MediaHeader::Flags::keyframe);
    EXPECT_EQ(frame.captureTimeNs, 1003u);
    EXPECT_EQ(frame.firstFragmentAtNs, 4242u);
    EXPECT_EQ(frame.completedAtNs, 4242u);
    EXPECT_EQ(frame.sendOffsetUs, 77u);
    EXPECT_EQ(frame.data, contentOf(shape));
    EXPECT_EQ(target.counters().completed, 1);
    EXPECT_EQ(target.lastDeliveredFrameID(), 3u);
    EXPECT_EQ(target.partialFrameCount(), 0u);
    EXPECT_EQ(target.bytesHeld(), 0);
}

TEST(FrameAssembler, RejectsEverythingUntilAGenerationIsAccepted) {
    FrameAssembler target(surface, AssemblyLimits(4, 1 << 20, 1'000'000));
    EXPECT_EQ(feed(target, cut({})[0]), Events{rejected(RejectReason::unacceptedConfig())});
    EXPECT_FALSE(target.epoch().has_value());
    target.acceptConfigGeneration(2);
    EXPECT_EQ(feed(target, cut({})[0]), Events{rejected(RejectReason::unacceptedConfig())});
    EXPECT_EQ(target.counters().rejected, 2);
    EXPECT_EQ(target.counters().datagrams, 2);
}

TEST(FrameAssembler, OutOfOrderFragmentsCompleteOnTheLastArrival) {
    FrameAssembler target = assembler();
    const FrameShape shape{.frameID = 9, .length = 150};
    const std::vector<Bytes> datagrams = cut(shape);
    ASSERT_EQ(datagrams.size(), 3u);
    EXPECT_TRUE(feed(target, datagrams[2], 10).empty());
    EXPECT_TRUE(feed(target, datagrams[0], 20).empty());
    EXPECT_EQ(target.bytesHeld(), 64 + 22);
    const Events events = feed(target, datagrams[1], 30);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(completed(events).data, contentOf(shape));
    EXPECT_EQ(completed(events).firstFragmentAtNs, 10u);
    EXPECT_EQ(completed(events).completedAtNs, 30u);
}

TEST(FrameAssembler, LossOfTheFirstMiddleOrLastFragmentLosesTheFrame) {
    for (std::size_t missing = 0; missing < 3; ++missing) {
        FrameAssembler target = assembler(AssemblyLimits(8, 1 << 20, 100));
        const std::vector<Bytes> datagrams = cut({.frameID = 9, .length = 150});
        for (std::size_t i = 0; i < datagrams.size(); ++i)
            if (i != missing) {
                EXPECT_TRUE(feed(target, datagrams[i], 0).empty());
            }
        EXPECT_EQ(target.expire(101), Events{lost(9, Reason::expired)}) << missing;
        EXPECT_EQ(target.counters().completed, 0);
    }
}

TEST(FrameAssembler, IdenticalDuplicatesAreCountedAndChangedOnesConflict) {
    FrameAssembler target = assembler();
    const std::vector<Bytes> datagrams = cut({.frameID = 2, .length = 100});
    EXPECT_TRUE(feed(target, datagrams[0]).empty());
    EXPECT_TRUE(feed(target, datagrams[0]).empty());
    EXPECT_EQ(target.counters().duplicates, 1);

    Bytes changed = datagrams[0];
    changed.back() ^= 1;
    EXPECT_EQ(feed(target, changed), Events{lost(2, Reason::conflict)});
    EXPECT_EQ(target.partialFrameCount(), 0u);
    EXPECT_EQ(target.bytesHeld(), 0);
}

TEST(FrameAssembler, FragmentsThatDisagreeOnTheFrameConflict) {
    FrameAssembler target = assembler();
    EXPECT_TRUE(feed(target, cut({.frameID = 2, .length = 100})[0]).empty());
    EXPECT_EQ(feed(target, cut({.frameID = 2, .length = 101})[1]), Events{lost(2, Reason::conflict)});

    EXPECT_TRUE(feed(target, cut({.frameID = 3, .length = 100})[0]).empty());
    const Events flagged = feed(target, cut({.frameID = 3, .length = 100, .flags = MediaHeader::Flags::keyframe})[1]);
    EXPECT_EQ(flagged, Events{lost(3, Reason::conflict)});
}

TEST(FrameAssembler, UnevenFragmentsAreAConflict) {
    FrameAssembler target = assembler();
    MediaHeader header;
    header.surfaceID = surface;
    header.epoch = 1;
    header.frameID = 4;
    header.configGeneration = generation;
    header.fragmentCount = 3;
    header.totalLength = 30;
    const Bytes ten(10, 1), nine(9, 2), eleven(11, 3);
    header.fragmentIndex = 0;
    feed(target, MediaDatagram{header, viewOf(ten)}.encode().value());
    header.fragmentIndex = 1;
    feed(target, MediaDatagram{header, viewOf(nine)}.encode().value());
    header.fragmentIndex = 2;
    EXPECT_EQ(feed(target, MediaDatagram{header, viewOf(eleven)}.encode().value()), Events{lost(4, Reason::conflict)});

    // More bytes than the frame announces: lost as soon as they arrive.
    header.frameID = 5;
    header.fragmentIndex = 0;
    feed(target, MediaDatagram{header, viewOf(eleven)}.encode().value());
    header.fragmentIndex = 1;
    feed(target, MediaDatagram{header, viewOf(eleven)}.encode().value());
    header.fragmentIndex = 2;
    EXPECT_EQ(feed(target, MediaDatagram{header, viewOf(ten)}.encode().value()), Events{lost(5, Reason::conflict)});
    EXPECT_EQ(target.bytesHeld(), 0);
}

TEST(FrameAssembler, FrameLimitEvictsTheOldestPartialFrame) {
    FrameAssembler target = assembler(AssemblyLimits(2, 1 << 20, 1'000'000));
    EXPECT_TRUE(feed(target, cut({.frameID = 1, .length = 100})[0]).empty());
    EXPECT_TRUE(feed(target, cut({.frameID = 2, .length = 100})[0]).empty());
    EXPECT_EQ(feed(target, cut({.frameID = 3, .length = 100})[0]), Events{lost(1, Reason::evicted)});
    EXPECT_EQ(target.partialFrameCount(), 2u);
    EXPECT_EQ(target.bytesHeld(), 128);
}

TEST(FrameAssembler, DiscardableLossesAreNotReferences) {
    FrameAssembler target = assembler(AssemblyLimits(1, 1 << 20, 1'000'000));
    feed(target, cut({.frameID = 1, .length = 100, .flags = MediaHeader::Flags::discardable})[0]);
    EXPECT_EQ(feed(target, cut({.frameID = 2, .length = 100})[0]),
              Events{lost(1, Reason::evicted, 1, false)});
}

TEST(FrameAssembler, ByteLimitEvictsOlderFramesButNeverTheCurrentOne) {
    FrameAssembler target = assembler(AssemblyLimits(8, 200, 1'000'000));
    feed(target, cut({.frameID = 1, .length = 192})[0]);
    feed(target, cut({.frameID = 1, .length = 192})[1]);
    feed(target, cut({.frameID = 2, .length = 192})[0]);
    EXPECT_EQ(target.bytesHeld(), 192);
    EXPECT_EQ(feed(target, cut({.frameID = 3, .length = 192})[0]), Events{lost(1, Reason::evicted)});
    EXPECT_EQ(target.bytesHeld(), 128);

    // A frame as large as the whole budget pushes out everything else.
    Events events;
    for (const Bytes& datagram : cut({.frameID = 4, .length = 200})) {
        Events step = feed(target, datagram);
        events.insert(events.end(), step.begin(), step.end());
        EXPECT_LE(target.bytesHeld(), 200);
    }
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], lost(2, Reason::evicted));
    EXPECT_EQ(events[1], lost(3, Reason::evicted));
    EXPECT_EQ(completed(events).data, contentOf({.frameID = 4, .length = 200}));
}

TEST(FrameAssembler, FramesLargerThanTheByteLimitAreRefused) {
    FrameAssembler target = assembler(AssemblyLimits(8, 100, 1'000'000));
    EXPECT_EQ(feed(target, cut({.frameID = 1, .length = 101})[0]), Events{rejected(RejectReason::tooLarge())});
    EXPECT_TRUE(feed(target, cut({.frameID = 1, .length = 100})[0]).empty());
}

TEST(FrameAssembler, NewerFrameMakesOlderPartialsLateAndReportsTheGap) {
    FrameAssembler target = assembler();
    deliver(target, {.frameID = 4, .length = 10});
    feed(target, cut({.frameID = 5, .length = 100})[0]);
    feed(target, cut({.frameID = 6, .length = 100})[0]);
    const std::int64_t lostBefore = target.counters().lost;
    const Events events = feed(target, cut({.frameID = 7, .length = 10})[0]);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0], lost(5, Reason::late));
    EXPECT_EQ(events[1], lost(6, Reason::late));
    EXPECT_EQ(events[2], lost(5, Reason::gap));
    EXPECT_EQ(completed(events).frameID, 7u);
    EXPECT_EQ(target.counters().lost, lostBefore + 3);
}

TEST(FrameAssembler, NewerPartialFramesSurviveAnOlderCompletion) {
    FrameAssembler target = assembler();
    feed(target, cut({.frameID = 8, .length = 100})[0]);
    const Events events = feed(target, cut({.frameID = 7, .length = 10})[0]);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(target.partialFrameCount(), 1u);
    deliver(target, {.frameID = 8, .length = 100});
}

TEST(FrameAssembler, OnlyTheFirstMissingFrameIsReported) {
    FrameAssembler target = assembler();
    deliver(target, {.frameID = 10, .length = 10});
    const Events events = feed(target, cut({.frameID = 20, .length = 10})[0]);
    EXPECT_EQ(events.front(), lost(11, Reason::gap));
    EXPECT_EQ(events.size(), 2u);
}

TEST(FrameAssembler, DeliveredFramesAreRefusedEvenFromANewerEpoch) {
    FrameAssembler target = assembler();
    deliver(target, {.frameID = 10, .length = 10});
    EXPECT_EQ(feed(target, cut({.frameID = 10, .length = 10})[0]), Events{rejected(RejectReason::alreadyDelivered())});
    EXPECT_EQ(feed(target, cut({.frameID = 9, .length = 10})[0]), Events{rejected(RejectReason::alreadyDelivered())});

    feed(target, cut({.frameID = 11, .length = 100})[0]);
    const Events events = feed(target, cut({.frameID = 9, .length = 10, .epoch = 2})[0]);
    EXPECT_EQ(events, (Events{lost(11, Reason::superseded), rejected(RejectReason::alreadyDelivered())}));
    EXPECT_EQ(target.epoch(), 2u);
}

TEST(FrameAssembler, OlderEpochsAreStaleAndNewerOnesSupersede) {
    FrameAssembler target = assembler();
    feed(target, cut({.frameID = 1, .length = 100, .epoch = 5})[0]);
    feed(target, cut({.frameID = 2, .length = 100, .epoch = 5})[0]);
    EXPECT_EQ(feed(target, cut({.frameID = 3, .length = 10, .epoch = 4})[0]),
              Events{rejected(RejectReason::staleEpoch())});
    const Events events = feed(target, cut({.frameID = 3, .length = 10, .epoch = 6})[0]);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], lost(1, Reason::superseded, 5));
    EXPECT_EQ(events[1], lost(2, Reason::superseded, 5));
    EXPECT_EQ(completed(events).epoch, 6u);
    EXPECT_EQ(target.epoch(), 6u);
}

TEST(FrameAssembler, NoGapIsReportedAcrossEpochs) {
    FrameAssembler target = assembler();
    deliver(target, {.frameID = 1, .length = 10, .epoch = 1});
    const Events events = feed(target, cut({.frameID = 5, .length = 10, .epoch = 2})[0]);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(completed(events).frameID, 5u);
}

TEST(FrameAssembler, EpochsWrapAround) {
    FrameAssembler target = assembler();
    feed(target, cut({.frameID = 1, .length = 100, .epoch = 0xFFFFFFFF})[0]);
    const Events events = feed(target, cut({.frameID = 2, .length = 10, .epoch = 0})[0]);
    EXPECT_EQ(events.front(), lost(1, Reason::superseded, 0xFFFFFFFF));
    EXPECT_EQ(feed(target, cut({.frameID = 3, .length = 10, .epoch = 0xFFFFFFFF})[0]),
              Events{rejected(RejectReason::staleEpoch())});
}

TEST(FrameAssembler, FrameNumbersWrapAround) {
    FrameAssembler target = assembler();
    deliver(target, {.frameID = 0xFFFFFFFE, .length = 10});
    feed(target, cut({.frameID = 0xFFFFFFFF, .length = 100})[0]);
    const Events events = feed(target, cut({.frameID = 0, .length = 10})[0]);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], lost(0xFFFFFFFF, Reason::late));
    EXPECT_EQ(events[1], lost(0xFFFFFFFF, Reason::gap));
    EXPECT_EQ(target.lastDeliveredFrameID(), 0u);
    EXPECT_EQ(feed(target, cut({.frameID = 0xFFFFFFFF, .length = 10})[0]),
              Events{rejected(RejectReason::alreadyDelivered())});
    const Events next = feed(target, cut({.frameID = 1, .length = 10})[0]);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(completed(next).frameID, 1u);
}

TEST(FrameAssembler, PartialFramesExpireJustAfterMaxAge) {
    FrameAssembler target = assembler(AssemblyLimits(8, 1 << 20, 1000));
    feed(target, cut({.frameID = 1, .length = 100})[0], 500);
    feed(target, cut({.frameID = 2, .length = 100})[0], 900);
    EXPECT_TRUE(target.expire(1500).empty());
    EXPECT_TRUE(target.expire(100).empty()); // a clock behind the frame expires nothing
    const Events events = feed(target, cut({.frameID = 3, .length = 100})[0], 1501);
    EXPECT_EQ(events, Events{lost(1, Reason::expired)});
    EXPECT_EQ(target.expire(2502), (Events{lost(2, Reason::expired), lost(3, Reason::expired)}));
    EXPECT_EQ(target.counters().lost, 3);
}

TEST(FrameAssembler, ExpiryComesBeforeTheDatagramsOwnEvents) {
    FrameAssembler target = assembler(AssemblyLimits(8, 1 << 20, 1000));
    feed(target, cut({.frameID = 1, .length = 100})[0], 0);
    const Events events = feed(target, Bytes{1}, 5000);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], lost(1, Reason::expired));
    EXPECT_EQ(events[1], rejected(RejectReason::malformed(WireError::truncated())));
}

TEST(FrameAssembler, RejectsWhatIsNotThisSurfacesVideo) {
    FrameAssembler target = assembler();
    Bytes audio = cut({})[0];
    audio[1] = 2;
    EXPECT_EQ(feed(target, audio), Events{rejected(RejectReason::malformed(WireError::unknownValue("media.kind", 2)))});
    EXPECT_EQ(feed(target, cut({.surfaceID = surface + 1})[0]), Events{rejected(RejectReason::wrongSurface())});
    EXPECT_EQ(feed(target, Bytes{9, 9}), Events{rejected(RejectReason::malformed(WireError::versionMismatch(9)))});
    EXPECT_EQ(feed(target, cut({.configGeneration = 2})[0]), Events{rejected(RejectReason::unacceptedConfig())});
    EXPECT_EQ(target.counters().rejected, 4);
    EXPECT_FALSE(target.epoch().has_value());
}

TEST(FrameAssembler, AcceptingAGenerationSupersedesOtherGenerations) {
    FrameAssembler target = assembler();
    feed(target, cut({.frameID = 1, .length = 100})[0]);
    EXPECT_EQ(target.acceptConfigGeneration(1), Events{});
    EXPECT_EQ(target.acceptConfigGeneration(2), Events{lost(1, Reason::superseded)});
    feed(target, cut({.frameID = 2, .length = 100, .configGeneration = 2})[0]);
    EXPECT_EQ(target.dropPartials(Reason::conflict, 2), Events{});
    EXPECT_EQ(target.dropPartials(Reason::conflict, 3), Events{lost(2, Reason::conflict)});
}

TEST(FrameAssembler, DropAllAndReset) {
    FrameAssembler target = assembler();
    deliver(target, {.frameID = 1, .length = 10});
    feed(target, cut({.frameID = 3, .length = 100})[0]);
    feed(target, cut({.frameID = 2, .length = 100})[0]);
    EXPECT_EQ(target.dropAll(Reason::evicted), (Events{lost(3, Reason::evicted), lost(2, Reason::evicted)}));

    feed(target, cut({.frameID = 4, .length = 100})[0]);
    const AssemblyCounters counters = target.counters();
    target.reset();
    EXPECT_EQ(target.partialFrameCount(), 0u);
    EXPECT_EQ(target.bytesHeld(), 0);
    EXPECT_FALSE(target.epoch().has_value());
    EXPECT_FALSE(target.lastDeliveredFrameID().has_value());
    EXPECT_EQ(target.acceptedConfigGeneration(), generation);
    EXPECT_EQ(target.counters(), counters);
    // Delivery history is gone: frame 1 may come again.
    deliver(target, {.frameID = 1, .length = 10, .epoch = 0});
}

TEST(FrameAssembler, CopiesGoOnIndependently) {
    FrameAssembler original = assembler();
    const std::vector<Bytes> datagrams = cut({.frameID = 6, .length = 150});
    feed(original, datagrams[0]);
    FrameAssembler copy = original;
    feed(copy, datagrams[1]);
    FrameAssembler moved = std::move(original);
    EXPECT_TRUE(feed(moved, datagrams[2]).empty());
    EXPECT_EQ(completed(feed(moved, datagrams[1])).data, contentOf({.frameID = 6, .length = 150}));
    EXPECT_EQ(completed(feed(copy, datagrams[2])).data, contentOf({.frameID = 6, .length = 150}));
    copy = moved;
    EXPECT_EQ(copy.lastDeliveredFrameID(), 6u);
}

TEST(FrameAssembler, LimitsAreRaisedToOne) {
    const AssemblyLimits limits(0, -4, 9);
    EXPECT_EQ(limits, AssemblyLimits(1, 1, 9));
    FrameAssembler target(surface, AssemblyLimits(0, 0, 0));
    EXPECT_EQ(target.limits(), AssemblyLimits(1, 1, 0));
}

} // namespace
} // namespace quillmere
