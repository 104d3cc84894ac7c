#include "QuillmereWire/FrameTimingLog.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

AssembledFrame frame(std::uint32_t frameID, std::uint32_t epoch, bool keyframe, std::size_t bytes) {
    AssembledFrame out;
    out.surfaceID = 1;
    out.frameID = frameID;
    out.epoch = epoch;
    out.flags = keyframe ? MediaHeader::Flags::keyframe : MediaHeader::Flags{};
    out.data.assign(bytes, 0xAB);
    out.firstFragmentAtNs = 1'000;
    out.completedAtNs = 4'000;
    return out;
}

FrameTimingRecord recordOf(std::uint32_t frameID) {
    return FrameTimingRecord::from(frame(frameID, 1, false, 10), std::nullopt, std::nullopt);
}

std::vector<std::uint32_t> frameIDs(const FrameTimingLog& log) {
    std::vector<std::uint32_t> out;
    for (const auto& record : log.records()) out.push_back(record.frameID);
    return out;
}

TEST(FrameTimingRecord, JSONLineWithoutClockEstimate) {
    const auto record = FrameTimingRecord::from(frame(7, 2, true, 900), std::nullopt, 4'500);
    EXPECT_EQ(record.jsonLine(),
              "{\"frame\":7,\"epoch\":2,\"key\":true,\"bytes\":900,\"captureNs\":null,\"sendNs\":null,"
              "\"firstFragmentNs\":1000,\"assembledNs\":4000,\"submittedNs\":4500,\"decodedNs\":null,"
              "\"offsetUncertaintyNs\":null}");
}

TEST(FrameTimingRecord, JSONLineWithEveryValue) {
    FrameTimingRecord record{4'294'967'295u, 0, false, 0, 18'446'744'073'709'551'615u, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(record.jsonLine(),
              "{\"frame\":4294967295,\"epoch\":0,\"key\":false,\"bytes\":0,\"captureNs\":18446744073709551615,"
              "\"sendNs\":2,\"firstFragmentNs\":3,\"assembledNs\":4,\"submittedNs\":5,\"decodedNs\":6,"
              "\"offsetUncertaintyNs\":7}");
}

TEST(FrameTimingRecord, HostTimesMoveOntoTheClientClock) {
    AssembledFrame source = frame(3, 1, false, 5);
    source.captureTimeNs = 10'000'000;
    source.sendOffsetUs = 2'500;
    const ClockOffsetEstimator::Estimate ahead{12'000'000, 40, 0.0, 1};
    const auto clamped = FrameTimingRecord::from(source, ahead, std::nullopt);
    EXPECT_EQ(clamped.captureNs, 0u);
    EXPECT_EQ(clamped.sendNs, 2'500'000u);
    EXPECT_EQ(clamped.offsetUncertaintyNs, 40u);

    const ClockOffsetEstimator::Estimate behind{-1'000, 40, 0.0, 1};
    const auto moved = FrameTimingRecord::from(source, behind, std::nullopt);
    EXPECT_EQ(moved.captureNs, 10'001'000u);
    EXPECT_EQ(moved.sendNs, 12'501'000u);
}

TEST(FrameTimingLog, EvictsTheOldestAndForgetsItsDecodeStamp) {
    FrameTimingLog log(2);
    for (std::uint32_t id = 1; id <= 3; ++id) log.record(recordOf(id));
    EXPECT_EQ(frameIDs(log), (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(log.dropped(), 1);
    log.markDecoded(1, 99);
    log.markDecoded(3, 77);
    EXPECT_FALSE(log.records()[0].decodedNs);
    EXPECT_EQ(log.records()[1].decodedNs, 77u);
}

TEST(FrameTimingLog, FirstDecodeStampStays) {
    FrameTimingLog log(4);
    log.record(recordOf(5));
    log.markDecoded(5, 10);
    log.markDecoded(5, 20);
    EXPECT_EQ(log.records()[0].decodedNs, 10u);
}

TEST(FrameTimingLog, StampsFindTheirRecordsAcrossManyCompactions) {
    FrameTimingLog log(3);
    for (std::uint32_t id = 0; id < 50; ++id) {
        log.record(recordOf(id));
        log.markDecoded(id, 1'000 + id);
        if (id >= 1) log.markDecoded(id - 1, 5);
    }
    EXPECT_EQ(frameIDs(log), (std::vector<std::uint32_t>{47, 48, 49}));
    EXPECT_EQ(log.dropped(), 47);
    for (const auto& record : log.records()) EXPECT_EQ(record.decodedNs, 1'000u + record.frameID);
}

// Frame identifiers can repeat (a new surface starts its numbering again):
// evicting the older record must not cost the newer one its decode stamp.
TEST(FrameTimingLog, EvictingAnOlderRecordKeepsTheNewerOneOfTheSameFrame) {
    FrameTimingLog log(2);
    log.record(recordOf(1));
    log.record(recordOf(1));
    log.record(recordOf(2));
    log.markDecoded(1, 55);
    ASSERT_EQ(frameIDs(log), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(log.records()[0].decodedNs, 55u);
}

TEST(FrameTimingLog, CapacityZeroKeepsOneAndEmptyLogPrintsNothing) {
    FrameTimingLog log(0);
    EXPECT_EQ(log.capacity(), 1);
    EXPECT_EQ(log.jsonLines(), "");
    log.record(recordOf(1));
    log.record(recordOf(2));
    EXPECT_EQ(frameIDs(log), (std::vector<std::uint32_t>{2}));
}

TEST(FrameTimingLog, JSONLinesEndEachRecordWithANewline) {
    FrameTimingLog log(8);
    log.record(recordOf(1));
    log.record(recordOf(2));
    EXPECT_EQ(log.jsonLines(), log.records()[0].jsonLine() + "\n" + log.records()[1].jsonLine() + "\n");
}

} // namespace
} // namespace quillmere
