#include "TestSupport/TestValues.h"
#include "QuillmereMac/Sending/DatagramPacer.h"

#include "Platform/Dispatch/ManualExecutor.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillmere {
namespace {

using testing::ms;
constexpr std::uint64_t us = 1'000ULL;

// A transport that records every datagram and completes only when told.
struct FakeTransport {
    struct Sent {
        std::size_t length;
        std::uint64_t at;
        DatagramPacer::Completion completion;
    };
    std::vector<Sent> sent;
    std::size_t completed = 0;

    void completeNext(bool result = true) { sent.at(completed++).completion(result); }
    void completeAll(bool result = true) {
        while (completed < sent.size()) completeNext(result);
    }
};

class DatagramPacerTest : public ::testing::Test {
protected:
    ManualExecutor queue{"connection"};
    FakeTransport transport;
    std::shared_ptr<DatagramPacer> pacer = DatagramPacer::make(
        queue, [this] { return queue.nowNs(); },
        [this](SharedBytes bytes, DatagramPacer::Completion completion) {
            transport.sent.push_back({bytes.size(), queue.nowNs(), std::move(completion)});
        });
    std::vector<std::pair<int, bool>> results;

    void send(std::size_t length, int tag = 0) {
        pacer->send(SharedBytes(Bytes(length, 0xAB)), [this, tag](bool sent) { results.emplace_back(tag, sent); });
    }
};

TEST_F(DatagramPacerTest, ABurstGoesOutAtOnceThenTheBucketPaces) {
    for (int i = 0; i < 20; ++i) send(1200, i); // exactly the 24,000-byte burst
    EXPECT_EQ(transport.sent.size(), 20u);
    EXPECT_EQ(pacer->metrics().immediate, 20);
    send(1200, 20);
    EXPECT_EQ(transport.sent.size(), 20u);
    EXPECT_EQ(pacer->waitingCount(), 1u);
    // 1,200 bytes at 40 MB/s take 30 µs, but no wait is shorter than 50 µs.
    queue.advance(50 * us - 1);
    EXPECT_EQ(transport.sent.size(), 20u);
    queue.advance(1);
    ASSERT_EQ(transport.sent.size(), 21u);
    EXPECT_EQ(transport.sent.back().at, queue.nowNs());
    EXPECT_EQ(pacer->metrics().paced, 1);
    EXPECT_EQ(pacer->metrics().maxDelayNs, static_cast<std::int64_t>(50 * us));
    EXPECT_FALSE(pacer->hasTimer());
}

TEST_F(DatagramPacerTest, ADatagramLargerThanTheTokensWaitsExactlyForTheMissingBytes) {
    send(20000, 1);
    send(10000, 2); // 4,000 tokens left: 6,000 missing take 150 µs
    EXPECT_EQ(transport.sent.size(), 1u);
    queue.advance(150 * us - 1);
    EXPECT_EQ(transport.sent.size(), 1u);
    queue.advance(1);
    EXPECT_EQ(transport.sent.size(), 2u);

    // Every token count reached by whole nanoseconds gives an exact schedule.
    for (std::size_t length : {1201u, 7777u, 23999u, 24000u}) {
        transport.completeAll(); // no stall
        queue.advance(10 * ms);  // full bucket again
        send(24000);
        const std::uint64_t start = queue.nowNs();
        send(length);
        const std::size_t before = transport.sent.size();
        queue.advance(std::max<std::uint64_t>(length * 25, 50 * us) - 1);
        EXPECT_EQ(transport.sent.size(), before) << length;
        queue.advance(1);
        ASSERT_EQ(transport.sent.size(), before + 1) << length;
        EXPECT_EQ(transport.sent.back().at - start, std::max<std::uint64_t>(length * 25, 50 * us)) << length;
    }
}

TEST_F(DatagramPacerTest, LaterDatagramsQueueBehindAWaitingOneEvenWithTokens) {
    send(23000, 1);
    send(2000, 2); // waits: 1,000 tokens
    send(500, 3);  // tokens would suffice, but it must not overtake
    EXPECT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(pacer->metrics().maxQueued, 2);
    queue.advance(ms);
    ASSERT_EQ(transport.sent.size(), 3u);
    EXPECT_EQ(transport.sent[1].length, 2000u);
    EXPECT_EQ(transport.sent[2].length, 500u);
}

TEST_F(DatagramPacerTest, AnOversizedDatagramWaitsForAFullBucketNotForEver) {
    send(10000, 1);
    send(30000, 2); // larger than the bucket
    EXPECT_EQ(transport.sent.size(), 1u);
    queue.advance(250 * us); // 10,000 bytes back: the bucket is full
    ASSERT_EQ(transport.sent.size(), 2u);
    EXPECT_DOUBLE_EQ(pacer->tokens(), -6000.0);
    send(1000, 3); // the debt is paid back before anything else goes
    queue.advance(175 * us - 1);
    EXPECT_EQ(transport.sent.size(), 2u);
    queue.advance(1);
    EXPECT_EQ(transport.sent.size(), 3u);
}

TEST_F(DatagramPacerTest, AStallBeginsOnlyAfterFortyMillisecondsWithoutCompletion) {
    send(1000, 1);
    queue.advance(40 * ms);
    send(1000, 2); // oldest send exactly 40 ms old: not a stall
    EXPECT_EQ(transport.sent.size(), 2u);
    EXPECT_EQ(pacer->metrics().stalls, 0);
    queue.advance(1);
    send(1000, 3); // 40 ms + 1 ns: stalled
    EXPECT_EQ(transport.sent.size(), 2u);
    EXPECT_EQ(pacer->metrics().stalls, 1);
    EXPECT_EQ(pacer->stallStartedAt(), std::optional<std::uint64_t>(transport.sent[0].at));
    queue.advance(20 * ms); // the 5 ms re-check keeps it held
    EXPECT_EQ(transport.sent.size(), 2u);
    EXPECT_EQ(pacer->metrics().stalls, 1);
}

TEST_F(DatagramPacerTest, TheEndOfAStallDropsStaleDatagramsReportsThemAndSendsTheRest) {
    std::vector<std::int64_t> reports;
    pacer->onStaleDropped = [&](std::int64_t n) { reports.push_back(n); };
    const std::uint64_t t0 = queue.nowNs();
    send(1000, 1);
    queue.advance(41 * ms);
    send(1000, 2); // stalled: both wait
    send(1000, 3);
    queue.advance(80 * ms); // exactly 80 ms old: not yet stale
    transport.completeNext();
    queue.runUntilIdle();
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(transport.sent.size(), 3u);
    EXPECT_EQ(pacer->metrics().maxStallNs, static_cast<std::int64_t>(queue.nowNs() - t0));

    // A second stall; this time two of the waiting ones are older than 80 ms.
    transport.completeAll();
    queue.runUntilIdle();
    send(1000, 5);
    queue.advance(41 * ms);
    send(1000, 6);
    send(1000, 7);
    queue.advance(40 * ms);
    send(1000, 8);
    queue.advance(41 * ms);
    transport.completeAll();
    queue.runUntilIdle();
    EXPECT_EQ(reports, std::vector<std::int64_t>{2});
    EXPECT_EQ(pacer->metrics().staleDropped, 2);
    EXPECT_EQ(pacer->metrics().stalls, 2);
    ASSERT_EQ(transport.sent.size(), 5u);
    EXPECT_EQ(pacer->metrics().paced, 3); // 2, 3 and 8
    EXPECT_EQ(std::count(results.begin(), results.end(), std::pair<int, bool>{6, false}), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), std::pair<int, bool>{7, false}), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), std::pair<int, bool>{8, false}), 0);
}

TEST_F(DatagramPacerTest, CompletionsOutsideAStallDoNotDrainAndFeedTheStackFigures) {
    send(1000, 1);
    send(1000, 2);
    queue.advance(3 * ms);
    transport.completeNext(true);
    queue.advance(2 * ms);
    transport.completeNext(false); // the transport's answer passes through
    queue.runUntilIdle();
    EXPECT_EQ(results, (std::vector<std::pair<int, bool>>{{1, true}, {2, false}}));
    EXPECT_EQ(pacer->metrics().stackSamples, 2);
    EXPECT_EQ(pacer->metrics().stackTotalNs, static_cast<std::int64_t>(8 * ms));
    EXPECT_EQ(pacer->metrics().stackMaxNs, static_cast<std::int64_t>(5 * ms));
    EXPECT_EQ(pacer->inFlightCount(), 0u);
    pacer->resetStackMax();
    EXPECT_EQ(pacer->metrics().stackMaxNs, 0);
    EXPECT_EQ(pacer->metrics().stackSamples, 2);
}

TEST_F(DatagramPacerTest, CloseCompletesEveryWaitingDatagramOnceWithFalse) {
    send(24000, 1);
    send(5000, 2);
    send(5000, 3);
    pacer->close();
    EXPECT_EQ(results, (std::vector<std::pair<int, bool>>{{2, false}, {3, false}}));
    EXPECT_FALSE(pacer->hasTimer());
    EXPECT_EQ(pacer->waitingCount(), 0u);
    queue.advance(10 * ms);
    EXPECT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(results.size(), 2u);
}

TEST_F(DatagramPacerTest, CompletionsArrivingAfterCloseLeaveTheNewInFlightListAlone) {
    send(1000, 1);
    send(1000, 2);
    pacer->close();
    transport.completeNext();
    queue.runUntilIdle(); // a completion of a send made before close()
    EXPECT_EQ(pacer->inFlightCount(), 0u);

    // Sending again works; the other old completion must not consume the
    // new send, whose lack of completion is then a stall.
    send(1000, 3);
    transport.completeNext();
    queue.runUntilIdle();
    EXPECT_EQ(pacer->inFlightCount(), 1u);
    queue.advance(41 * ms);
    send(1000, 4);
    EXPECT_EQ(pacer->metrics().stalls, 1);
    EXPECT_EQ(transport.sent.size(), 3u);
    transport.completeNext();
    queue.runUntilIdle();
    EXPECT_EQ(transport.sent.size(), 4u);
    EXPECT_EQ(pacer->stallStartedAt(), std::nullopt);
    EXPECT_EQ(pacer->metrics().stackSamples, 3);
}

TEST_F(DatagramPacerTest, AReleasedPacerStillPassesTheTransportResultOn) {
    send(1000, 1);
    pacer.reset();
    transport.completeNext(true);
    queue.runUntilIdle();
    EXPECT_EQ(results, (std::vector<std::pair<int, bool>>{{1, true}}));
}

} // namespace
} // namespace quillmere
