#include "TestSupport/TestValues.h"
#include "QuillmereWire/ReceiverStatistics.h"
#include "QuillmereWire/RecoveryRequester.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::ms;
constexpr std::uint64_t start = 1'000 * ms;

AssemblyEvent completed(std::uint32_t frameID, std::uint32_t epoch, std::uint64_t firstNs, std::uint64_t doneNs) {
    AssembledFrame frame;
    frame.frameID = frameID;
    frame.epoch = epoch;
    frame.firstFragmentAtNs = firstNs;
    frame.completedAtNs = doneNs;
    return AssemblyEvent::complete(frame);
}

AssemblyEvent lost(std::uint32_t epoch, FrameLossReason reason = FrameLossReason::gap, bool reference = true) {
    return AssemblyEvent::lost(9, epoch, reference, reason);
}

msg::RecoveryRequest asRequest(const std::optional<ControlMessage>& message) {
    EXPECT_TRUE(message);
    if (!message) return {};
    EXPECT_TRUE(message->is<msg::RecoveryRequest>());
    return message->is<msg::RecoveryRequest>() ? *message->as<msg::RecoveryRequest>() : msg::RecoveryRequest{};
}

TEST(ReceiverStatistics, CountsEventsAndResetsThemWithEachReport) {
    ReceiverStatistics statistics(1, start);
    statistics.record(completed(1, 1, start, start + 3 * ms));
    statistics.record(completed(2, 1, start, start + 7 * ms + 999));
    statistics.record(lost(1, FrameLossReason::late));
    statistics.record(lost(1, FrameLossReason::expired));
    statistics.record(lost(1, FrameLossReason::gap, false));
    statistics.record(AssemblyEvent::rejected(RejectReason::staleEpoch()));
    statistics.recordDecode(true);
    statistics.recordDecode(false);
    statistics.recordDisplayed();
    statistics.decodeQueueDepth = 4;
    statistics.thermalState = 2;

    const ReceiverReport report = statistics.report(start + 500 * ms);
    EXPECT_EQ(report, (ReceiverReport{1, 500, 2, 2, 1, 1, 1, 7, 200, 4, 2}));

    const ReceiverReport next = statistics.report(start + 1'500 * ms);
    EXPECT_EQ(next, (ReceiverReport{1, 1'000, 0, 0, 0, 0, 0, 0, 0, 4, 2}));
}

TEST(ReceiverStatistics, IntervalIsClampedToOneMillisecondAndTenSeconds) {
    ReceiverStatistics statistics(1, start);
    EXPECT_EQ(statistics.report(start + 1'500'000).intervalMs, 1);
    EXPECT_EQ(statistics.report(start + 1'500'000 + 12'000 * ms).intervalMs, 10'000);
}

TEST(ReceiverStatistics, DisplayedRateInHundredths) {
    ReceiverStatistics statistics(1, start);
    for (int i = 0; i < 60; ++i) statistics.recordDisplayed();
    EXPECT_EQ(statistics.report(start + 1'000 * ms).displayedFPSCenti, 6'000);

    ReceiverStatistics atStart(1, start);
    atStart.recordDisplayed();
    const auto report = atStart.report(start);
    EXPECT_EQ(report.displayedFPSCenti, 0);
    EXPECT_EQ(report.intervalMs, 1);

    ReceiverStatistics earlier(1, start);
    EXPECT_EQ(earlier.report(start - 5).intervalMs, 1);
}

TEST(ReceiverStatistics, HugeCountsSaturateInsteadOfWrapping) {
    ReceiverStatistics statistics(1, start);
    statistics.displayed = 4'000'000'000u;
    EXPECT_EQ(statistics.report(start + 1'000 * ms).displayedFPSCenti, 65'535);
}

TEST(ReceiverStatistics, AssemblyAgeAndThermalStateAreCapped) {
    ReceiverStatistics statistics(1, start);
    statistics.record(completed(1, 1, start, start + 70'000 * ms));
    statistics.record(completed(2, 1, start + 10, start));
    statistics.thermalState = 5;
    const auto report = statistics.report(start + 1);
    EXPECT_EQ(report.maxAssemblyAgeMs, 65'535);
    EXPECT_EQ(report.thermalState, 3);
    EXPECT_EQ(statistics.thermalState, 5);
}

TEST(RecoveryRequester, SpacesRequestsPerEpochAndFollowsNewerEpochsAtOnce) {
    RecoveryRequester requester(1, 500 * ms);
    requester.observe(completed(41, 4, 0, 0), start);
    EXPECT_EQ(asRequest(requester.observe(lost(4), start)),
              (msg::RecoveryRequest{1, 4, 41, RecoveryReason::frameLoss}));
    EXPECT_FALSE(requester.observe(lost(4), start + 200 * ms));
    EXPECT_EQ(asRequest(requester.observe(lost(4), start + 800 * ms)).epoch, 4u);
    EXPECT_EQ(asRequest(requester.observe(lost(5), start + 810 * ms)).epoch, 5u);
    EXPECT_FALSE(requester.observe(lost(4), start + 5'000 * ms));
    EXPECT_EQ(requester.requestsSent(), 3);
}

TEST(RecoveryRequester, OnlyANewerEpochClearsTheRequest) {
    RecoveryRequester requester(1, 500 * ms);
    requester.observe(lost(4), start);
    requester.observe(completed(50, 4, 0, 0), start + ms);
    EXPECT_EQ(requester.requestedEpoch(), 4u);
    EXPECT_EQ(requester.lastComplete(), 50u);
    requester.observe(completed(51, 5, 0, 0), start + 2 * ms);
    EXPECT_FALSE(requester.requestedEpoch());
    EXPECT_EQ(asRequest(requester.observe(lost(4), start + 3 * ms)).lastCompleteFrameID, 51u);
}

TEST(RecoveryRequester, ReasonFollowsTheLoss) {
    RecoveryRequester requester(3, 0);
    EXPECT_EQ(asRequest(requester.observe(lost(1, FrameLossReason::expired), start)).reason,
              RecoveryReason::assemblyTimeout);
    EXPECT_EQ(asRequest(requester.observe(lost(1, FrameLossReason::conflict), start)).reason,
              RecoveryReason::frameLoss);
    const auto decode = asRequest(requester.request(1, start));
    EXPECT_EQ(decode, (msg::RecoveryRequest{3, 1, 0, RecoveryReason::decodeError}));
}

TEST(RecoveryRequester, DiscardableLossesAndRejectionsAskNothing) {
    RecoveryRequester requester(1, 500 * ms);
    EXPECT_FALSE(requester.observe(lost(1, FrameLossReason::gap, false), start));
    EXPECT_FALSE(requester.observe(AssemblyEvent::rejected(RejectReason::tooLarge()), start));
    EXPECT_EQ(requester.requestsSent(), 0);
}

TEST(RecoveryRequester, ClockGoingBackwardsCountsAsALongWait) {
    RecoveryRequester requester(1, 500 * ms);
    requester.request(2, start);
    EXPECT_FALSE(requester.request(2, start + 499 * ms));
    EXPECT_TRUE(requester.request(2, start - 1));
}

TEST(RecoveryRequester, EpochsCompareAcrossTheWrap) {
    RecoveryRequester requester(1, 500 * ms);
    requester.request(0, start);
    EXPECT_FALSE(requester.request(0xFFFFFFFFu, start + ms));

    RecoveryRequester beforeWrap(1, 500 * ms);
    beforeWrap.request(0xFFFFFFFFu, start);
    beforeWrap.observe(completed(1, 0, 0, 0), start);
    EXPECT_FALSE(beforeWrap.requestedEpoch());
}

} // namespace
} // namespace quillmere
