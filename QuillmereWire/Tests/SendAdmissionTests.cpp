#include "TestSupport/TestValues.h"
#include "QuillmereWire/ConfigGate.h"
#include "QuillmereWire/SendAdmission.h"
#include "QuillmereWire/SequenceNumber.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using Decision = SendAdmission::Decision;
using testing::ms;

EncodedFrame frame(std::uint32_t frameID, MediaHeader::Flags flags = {}) {
    EncodedFrame out;
    out.surfaceID = 1;
    out.frameID = frameID;
    out.flags = flags;
    out.data = Bytes(10, static_cast<std::uint8_t>(frameID));
    return out;
}

EncodedFrame keyframe(std::uint32_t frameID) { return frame(frameID, MediaHeader::Flags::keyframe); }
EncodedFrame discardable(std::uint32_t frameID) { return frame(frameID, MediaHeader::Flags::discardable); }

std::vector<std::uint32_t> drain(SendAdmission& admission, std::uint64_t nowNs) {
    std::vector<std::uint32_t> ids;
    while (auto next = admission.next(nowNs)) ids.push_back(next->frameID);
    return ids;
}

TEST(SequenceOrder, WrapsAround) {
    EXPECT_TRUE(isNewer(1, 0xFFFFFFFF));
    EXPECT_FALSE(isNewer(0xFFFFFFFF, 1));
    EXPECT_FALSE(isNewer(0x80000000, 0));
    EXPECT_FALSE(isNewer(0, 0x80000000));
    EXPECT_TRUE(isNewer(0x7FFFFFFF, 0));
    EXPECT_FALSE(isNewer(5, 5));
}

TEST(AdmissionLimits, RaisesMaxFramesToOne) {
    EXPECT_EQ(AdmissionLimits(0, 7).maxFrames, 1);
    EXPECT_EQ(AdmissionLimits(-5, 7).maxAgeNs, 7u);
    SendAdmission admission(AdmissionLimits(0, 0));
    EXPECT_EQ(admission.limits().maxFrames, 1);
}

TEST(SendAdmission, QueuesAndHandsOutOldestFirst) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    EXPECT_EQ(admission.admit(frame(1), 0), Decision::admitted);
    EXPECT_EQ(admission.admit(frame(2), 1), Decision::admitted);
    EXPECT_EQ(admission.queueDepth(), 2u);
    auto first = admission.next(2);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, frame(1));
    EXPECT_EQ(drain(admission, 2), std::vector<std::uint32_t>{2});
    EXPECT_EQ(admission.counters().admitted, 2);
    EXPECT_EQ(admission.counters().sent, 2);
}

TEST(SendAdmission, NextOnAnEmptyQueueSendsNothing) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    EXPECT_FALSE(admission.next(0).has_value());
    EXPECT_EQ(admission.counters().sent, 0);
}

TEST(SendAdmission, OverflowOfAReferenceFrameDemandsAKeyframe) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    for (std::uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(admission.admit(frame(id), 0), Decision::admitted);
    EXPECT_EQ(admission.admit(frame(4), 0), Decision::refusedAwaitingKeyframe);
    AdmissionCounters expected;
    expected.admitted = 3;
    expected.droppedOverflow = 1;
    expected.droppedDependent = 3;
    EXPECT_EQ(admission.counters(), expected);
    EXPECT_TRUE(admission.recoveryRequired());
    EXPECT_EQ(admission.queueDepth(), 0u);

    EXPECT_EQ(admission.admit(frame(5), 0), Decision::refusedAwaitingKeyframe);
    EXPECT_EQ(admission.counters().droppedDependent, 4);
}

TEST(SendAdmission, OverflowKeepsQueuedKeyframes) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    admission.admit(frame(1), 0);
    admission.admit(keyframe(2), 0); // empties the queue: frame 1 is obsolete
    admission.admit(frame(3), 0);
    admission.admit(frame(4), 0);
    EXPECT_EQ(admission.counters().droppedObsolete, 1);
    // Pushing out the keyframe breaks 3 and 4.
    EXPECT_EQ(admission.admit(frame(5), 0), Decision::refusedAwaitingKeyframe);
    EXPECT_EQ(admission.counters().droppedDependent, 3);
}

TEST(SendAdmission, DroppingADiscardableFrameCostsNothingElse) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    admission.admit(discardable(1), 0);
    admission.admit(frame(2), 0);
    admission.admit(frame(3), 0);
    EXPECT_EQ(admission.admit(frame(4), 0), Decision::admitted);
    EXPECT_FALSE(admission.recoveryRequired());
    EXPECT_EQ(admission.queueDepth(), 3u);
    EXPECT_EQ(admission.counters().droppedOverflow, 1);
    EXPECT_EQ(admission.counters().droppedDependent, 0);
    EXPECT_EQ(drain(admission, 0), (std::vector<std::uint32_t>{2, 3, 4}));
}

TEST(SendAdmission, KeyframeEndsRecoveryAndObsoletesTheQueue) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    admission.admit(keyframe(1), 0);
    admission.admit(frame(2), 0);
    admission.admit(frame(3), 0);
    admission.admit(frame(4), 0); // pushes out keyframe 1: 2 and 3 go too
    ASSERT_TRUE(admission.recoveryRequired());
    admission.admit(discardable(5), 0); // refused as well
    EXPECT_EQ(admission.admit(keyframe(6), 0), Decision::admitted);
    EXPECT_FALSE(admission.recoveryRequired());
    EXPECT_EQ(admission.admit(frame(7), 0), Decision::admitted);
    EXPECT_EQ(drain(admission, 0), (std::vector<std::uint32_t>{6, 7}));
    EXPECT_EQ(admission.counters().droppedDependent, 4);
}

TEST(SendAdmission, KeyframeCountsWhateverIsQueuedAsObsolete) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    admission.admit(keyframe(1), 0);
    admission.admit(frame(2), 0);
    EXPECT_EQ(admission.admit(keyframe(3), 0), Decision::admitted);
    EXPECT_EQ(admission.counters().droppedObsolete, 2);
    EXPECT_EQ(drain(admission, 0), std::vector<std::uint32_t>{3});
}

TEST(SendAdmission, EntriesAgeOutOneNanosecondAfterMaxAge) {
    SendAdmission admission(AdmissionLimits(3, 50 * ms));
    admission.admit(keyframe(1), 1000);
    EXPECT_EQ(admission.oldestAge(1000 + 50 * ms), 50 * ms);
    auto kept = admission.next(1000 + 50 * ms);
    ASSERT_TRUE(kept.has_value());

    admission.admit(keyframe(2), 1000);
    EXPECT_FALSE(admission.next(1000 + 50 * ms + 1).has_value());
    EXPECT_EQ(admission.counters().droppedExpired, 1);
    // An expired keyframe breaks what follows it.
    EXPECT_TRUE(admission.recoveryRequired());
}

TEST(SendAdmission, ExpiryOfAReferenceFrameSweepsDependentsAndRefuses) {
    SendAdmission admission(AdmissionLimits(5, 10 * ms));
    admission.admit(keyframe(1), 0);
    admission.admit(frame(2), 0);
    admission.admit(frame(3), 8 * ms);
    EXPECT_EQ(admission.admit(frame(4), 11 * ms), Decision::refusedAwaitingKeyframe);
    EXPECT_EQ(admission.counters().droppedExpired, 1);
    EXPECT_EQ(admission.counters().droppedDependent, 3);
    EXPECT_EQ(admission.queueDepth(), 0u);
}

TEST(SendAdmission, ExpiryStopsAtTheFirstYoungEntry) {
    SendAdmission admission(AdmissionLimits(5, 10 * ms));
    admission.admit(discardable(1), 10 * ms);
    admission.admit(discardable(2), 0); // a clock that stepped back
    admission.admit(discardable(3), 15 * ms);
    EXPECT_EQ(admission.queueDepth(), 3u);
    EXPECT_EQ(admission.counters().droppedExpired, 0);
    EXPECT_EQ(drain(admission, 15 * ms), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(admission.counters().droppedExpired, 1);
    EXPECT_FALSE(admission.recoveryRequired());
}

TEST(SendAdmission, AClockBehindTheEntryNeverExpiresIt) {
    SendAdmission admission(AdmissionLimits(3, 10 * ms));
    admission.admit(frame(1), 100 * ms);
    EXPECT_EQ(admission.oldestAge(5 * ms), 0u);
    EXPECT_EQ(admission.oldestAge(0), 0u);
    EXPECT_EQ(drain(admission, 5 * ms), std::vector<std::uint32_t>{1});
    EXPECT_EQ(admission.oldestAge(5 * ms), 0u);
}

TEST(SendAdmission, ResetClearsQueueAndRecoveryButKeepsCounters) {
    SendAdmission admission(AdmissionLimits(1, 10 * ms));
    admission.admit(frame(1), 0);
    admission.admit(frame(2), 0);
    ASSERT_TRUE(admission.recoveryRequired());
    const AdmissionCounters before = admission.counters();
    admission.reset();
    EXPECT_FALSE(admission.recoveryRequired());
    EXPECT_EQ(admission.queueDepth(), 0u);
    EXPECT_EQ(admission.counters(), before);
    EXPECT_EQ(admission.admit(frame(3), 0), Decision::admitted);
}

StreamConfig config(std::uint32_t surfaceID, std::uint32_t generation) {
    StreamConfig out;
    out.surfaceID = surfaceID;
    out.configGeneration = generation;
    out.width = 1280;
    out.height = 720;
    return out;
}

TEST(ConfigGate, ProposalsMustBeNewerThanPendingOrAcknowledged) {
    ConfigGate gate;
    EXPECT_TRUE(gate.propose(config(1, 0)).has_value());
    EXPECT_TRUE(gate.propose(config(1, 7)).has_value());
    EXPECT_EQ(gate.propose(config(1, 7)).error(), WireError::outOfRange("streamConfig.configGeneration"));
    EXPECT_EQ(gate.propose(config(1, 6)).error(), WireError::outOfRange("streamConfig.configGeneration"));
    EXPECT_EQ(gate.pending(), config(1, 7));
    EXPECT_FALSE(gate.acknowledged().has_value());
}

TEST(ConfigGate, AcknowledgementMovesTheMatchingPendingConfiguration) {
    ConfigGate gate;
    ASSERT_TRUE(gate.propose(config(1, 7)).has_value());
    EXPECT_FALSE(gate.acknowledge(2, 7));
    EXPECT_FALSE(gate.acknowledge(1, 6));
    EXPECT_EQ(gate.pending(), config(1, 7));
    EXPECT_TRUE(gate.pendingMatches(1, 7));
    EXPECT_TRUE(gate.acknowledge(1, 7));
    EXPECT_FALSE(gate.pending().has_value());
    EXPECT_EQ(gate.acknowledged(), config(1, 7));
    EXPECT_FALSE(gate.acknowledge(1, 7));

    EXPECT_EQ(gate.propose(config(1, 7)).error(), WireError::outOfRange("streamConfig.configGeneration"));
    EXPECT_TRUE(gate.propose(config(1, 8)).has_value());
    EXPECT_EQ(gate.acknowledged(), config(1, 7));
}

TEST(ConfigGate, NewerProposalReplacesAnUnacknowledgedOne) {
    ConfigGate gate;
    ASSERT_TRUE(gate.propose(config(1, 1)).has_value());
    ASSERT_TRUE(gate.propose(config(1, 2)).has_value());
    EXPECT_FALSE(gate.acknowledge(1, 1));
    EXPECT_TRUE(gate.acknowledge(1, 2));
}

TEST(ConfigGate, GenerationsWrapAround) {
    ConfigGate gate;
    ASSERT_TRUE(gate.propose(config(1, 0xFFFFFFFF)).has_value());
    ASSERT_TRUE(gate.acknowledge(1, 0xFFFFFFFF));
    EXPECT_TRUE(gate.propose(config(1, 0)).has_value());
    EXPECT_EQ(gate.propose(config(1, 0x80000000)).error(), WireError::outOfRange("streamConfig.configGeneration"));
}

TEST(ConfigGate, AcceptRecordsOnlyNewerAcknowledgements) {
    ConfigGate gate;
    ASSERT_TRUE(gate.propose(config(1, 3)).has_value());
    EXPECT_TRUE(gate.accept(config(1, 5)));
    EXPECT_FALSE(gate.accept(config(1, 5)));
    EXPECT_FALSE(gate.accept(config(1, 4)));
    EXPECT_TRUE(gate.accept(config(1, 6)));
    EXPECT_EQ(gate.acknowledged(), config(1, 6));
    EXPECT_EQ(gate.pending(), config(1, 3));
}

} // namespace
} // namespace quillmere
