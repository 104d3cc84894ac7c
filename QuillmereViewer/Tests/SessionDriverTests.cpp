// The session driver against a host played message by message: what it
// sends and when, how frames go from datagrams to decoded pictures, and how
// each way of ending is recorded.

#include "TestSupport/TestValues.h"
#include "QuillmereViewer/H264Decoder.h"
#include "QuillmereViewer/SessionDriver.h"
#include "QuillmereViewer/Tests/TestStream.h"
#include "QuillmereWire/MediaFragmenter.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::TestStreamEncoder;

using testing::ms;

class RecordingLink final : public SessionLink {
public:
    void sendControl(ControlMessage message) override { sent.push_back(std::move(message)); }
    void close() override { ++closes; }

    // The case names of what was sent, pings left out.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& message : sent) {
            if (!message.is<msg::Ping>()) out.emplace_back(message.caseName());
        }
        return out;
    }
    template <class T>
    std::vector<T> all() const {
        std::vector<T> out;
        for (const auto& message : sent) {
            if (const auto* value = message.as<T>()) out.push_back(*value);
        }
        return out;
    }

    std::vector<ControlMessage> sent;
    int closes = 0;
};

// A decoder that fails on the frames named.
class FailingDecoder final : public FrameDecoder {
public:
    void configure(const StreamConfig&) override {}
    DecodeResult decode(const AssembledFrame& frame) override {
        DecodeResult result;
        result.error = "frame " + std::to_string(frame.frameID) + " did not decode";
        return result;
    }
};

Hello hostHello() {
    return Hello{1, 0, PeerRole::host, WireID{}, WireID{}, "Studio"};
}

std::vector<CaptureWindow> captureList() {
    return {CaptureWindow{0xFFFFFF00, "Display 1", "", 1920, 1080}, CaptureWindow{42, "Notes — todo", "Notes", 800, 600},
            CaptureWindow{0xFFFFFFF0, "Test pattern (measurement)", "", 320, 180}};
}

class SessionDriverTest : public ::testing::Test {
protected:
    SessionDriverTest() {
        settings.hello = Hello{1, 0, PeerRole::client, WireID{}, WireID{}, "Viewer"};
        settings.capabilities = Capabilities{codecs::h264, 320, 180, 60, 1, FeatureSet{}, 65535};
        settings.limits = AssemblyLimits(8, 16 * 1024 * 1024, 200 * ms);
    }

    void makeDriver(std::vector<InputStep> input = {}, FrameDecoder* decoder = nullptr) {
        run.emplace(input);
        auto made = H264Decoder::make();
        realDecoder = std::move(*made);
        driver.emplace(settings, *run, link, decoder ? *decoder : *realDecoder, [this] { return now; });
    }

    // The host's part up to streaming: hello, list, consent, configuration.
    void streamUp() {
        driver->connected(now);
        driver->received(hostHello(), now);
        driver->received(Capabilities{codecs::h264, 3840, 2160, 60, 4, features::host, 65535}, now);
        driver->received(msg::CaptureList{captureList()}, now);
        driver->received(msg::CaptureState{1, 1, CaptureStateValue::awaitingConsent}, now);
        driver->received(msg::CaptureState{1, 1, CaptureStateValue::active}, now);
        first = encoder.encode(1, true);
        driver->received(encoder.config(1), now);
    }

    void sendFrame(const testing::EncodedTestFrame& frame, std::uint32_t frameID) {
        auto datagrams = MediaFragmenter::fragment(testing::encodedFrame(frame, frameID, 1, 1, now), 1200, 50);
        ASSERT_TRUE(datagrams);
        for (auto& datagram : *datagrams) driver->datagram(datagram, now);
    }

    SessionSettings settings;
    std::optional<ViewerRun> run;
    RecordingLink link;
    std::unique_ptr<H264Decoder> realDecoder;
    std::optional<SessionDriver> driver;
    TestStreamEncoder encoder{320, 180};
    testing::EncodedTestFrame first;
    std::uint64_t now = 1'000 * ms;
};

TEST_F(SessionDriverTest, ControlFlowFromHelloToStreamingThenStopAndByeAtTheFrameLimit) {
    settings.frameLimit = 3;
    settings.expectTestPattern = true;
    settings.select = CaptureSelector(CaptureSelector::Title{"NOTES"});
    makeDriver();
    streamUp();
    EXPECT_EQ(link.names(), (std::vector<std::string>{"hello", "capabilities", "captureListRequest", "captureSelect",
                                                      "configAck", "startStream"}));
    EXPECT_EQ(link.all<msg::CaptureSelect>().at(0).windowID, 42u);
    EXPECT_EQ(run->summary.capture->title, "Notes — todo");
    EXPECT_EQ(run->summary.hostName, "Studio");
    EXPECT_EQ(driver->readyAtNs(), now);

    sendFrame(first, 1);
    sendFrame(encoder.encode(2), 2);
    EXPECT_FALSE(driver->end());
    sendFrame(encoder.encode(3), 3);
    ASSERT_TRUE(driver->end());
    EXPECT_EQ(driver->end()->kind, SessionEnd::Kind::frameLimit);
    EXPECT_EQ(link.names().back(), "bye");
    EXPECT_EQ(link.names()[link.names().size() - 2], "stopStream");
    EXPECT_EQ(link.closes, 1);
    EXPECT_FALSE(driver->retryable());

    driver->connectionClosed(PeerCloseReason::local());
    const SessionSummary& summary = run->summary;
    EXPECT_EQ(summary.delivered, 3);
    EXPECT_EQ(summary.decoded, 3);
    EXPECT_EQ(summary.corrupt, 0);
    EXPECT_EQ(summary.testPattern->checked(), 3);
    EXPECT_EQ(summary.testPattern->last(), 3u);
    EXPECT_EQ(run->timing.records().size(), 3u);
    EXPECT_TRUE(run->timing.records()[0].decodedNs);
    EXPECT_TRUE(summary.passed()) << summary.json();
}

TEST_F(SessionDriverTest, PingsUntilTheClockHasSamplesAndReportsEverySecondWhileStreaming) {
    makeDriver();
    streamUp();
    const std::uint64_t start = now;
    std::uint64_t pong = 0;
    for (int i = 1; i <= 300; ++i) {
        now = start + static_cast<std::uint64_t>(i) * 10 * ms;
        driver->tick(now);
        // Answer the latest ping a millisecond later, the host's clock 5 ms ahead.
        for (const auto& ping : link.all<msg::Ping>()) {
            if (ping.senderTimeNs > pong) {
                pong = ping.senderTimeNs;
                driver->received(msg::Pong{ping.senderTimeNs, ping.senderTimeNs + 5 * ms}, now + ms);
            }
        }
    }
    EXPECT_EQ(link.all<ReceiverReport>().size(), 2u) << "one report per second after the first second";
    EXPECT_GE(driver->session().clock().samples().size(), 4u);
    const auto estimate = driver->session().clock().estimate();
    ASSERT_TRUE(estimate);
    EXPECT_NEAR(static_cast<double>(estimate->offsetNs), 5.0 * ms, 1.0 * ms);
    // Four early pings, then one per report.
    EXPECT_LE(link.all<msg::Ping>().size(), 4u + 2u + 1u);
}

TEST_F(SessionDriverTest, LatencyRunsFromCaptureOnTheHostClockToDecodingOnOurs) {
    settings.frameLimit = 2;
    makeDriver();
    streamUp();
    // The host's clock runs 1 s ahead of ours.
    driver->received(msg::Pong{now - 2 * ms, now + 1'000 * ms}, now);
    auto datagrams = MediaFragmenter::fragment(testing::encodedFrame(first, 1, 1, 1, now + 1'000 * ms - 30 * ms), 1200, 0);
    for (auto& datagram : *datagrams) driver->datagram(datagram, now);
    driver->connectionClosed(PeerCloseReason::remote());
    const auto latency = run->summary.latency();
    ASSERT_TRUE(latency);
    EXPECT_NEAR(latency->p50Ms, 30 + 1, 0.01) << "31 ms: 30 before the frame arrived plus half the 2 ms round trip";
}

TEST_F(SessionDriverTest, InputAndTheClipboardAreAskedForOnceStreamingAndWaitedFor) {
    settings.frameLimit = 1;
    settings.pullClipboard = true;
    makeDriver({input_step::Type{"hi"}, input_step::Click{}});
    streamUp();
    const auto asked = link.names();
    EXPECT_EQ(std::vector<std::string>(asked.end() - 2, asked.end()),
              (std::vector<std::string>{"inputControlRequest", "clipboardPull"}));
    sendFrame(first, 1);
    now += 300 * ms;
    driver->received(msg::ClipboardResult{link.all<msg::ClipboardPull>().at(0).requestID, ClipboardOutcome::notText},
                     now);
    EXPECT_EQ(run->summary.clipboard, (SessionSummary::ClipboardAnswer{"notText", 0, 300}));
    EXPECT_FALSE(driver->end()) << "the frame limit waits for the input asked for";
    driver->received(msg::InputControlState{7, InputControlStateValue::granted, 500}, now);
    for (int i = 0; i < 20; ++i) driver->tick(now += 60 * ms);
    const auto inputs = link.all<msg::Input>();
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_EQ(inputs[0].event, InputEvent(input::Text{"hi"}));
    EXPECT_EQ(inputs[1].event, InputEvent(input::Button{InputButton::left, true}));
    EXPECT_EQ(inputs[2].event, InputEvent(input::Button{InputButton::left, false}));
    for (const auto& input : inputs) EXPECT_EQ(input.generation, 7u);
    EXPECT_LT(inputs[0].seq, inputs[1].seq);
    ASSERT_TRUE(driver->end());
    EXPECT_EQ(driver->end()->kind, SessionEnd::Kind::frameLimit);
    driver->connectionClosed(PeerCloseReason::local());
    EXPECT_EQ(run->summary.inputPhase, InputScript::Phase::finished);
    EXPECT_TRUE(run->summary.passed()) << run->summary.json();
}

TEST_F(SessionDriverTest, RefusedControlFailsTheRunButEndsIt) {
    settings.frameLimit = 1;
    makeDriver({input_step::Move{5, 5}});
    streamUp();
    sendFrame(first, 1);
    driver->received(msg::InputControlState{0, InputControlStateValue::denied, 0}, now);
    driver->tick(now += 10 * ms);
    ASSERT_TRUE(driver->end());
    driver->connectionClosed(PeerCloseReason::local());
    EXPECT_EQ(run->summary.failures(), std::vector<std::string>{"input was not all sent: control refused"});
}

TEST_F(SessionDriverTest, DecodeFailuresAreCountedAndAskForRecovery) {
    FailingDecoder failing;
    makeDriver({}, &failing);
    streamUp();
    sendFrame(first, 1);
    EXPECT_EQ(run->summary.corrupt, 1);
    const auto requests = link.all<msg::RecoveryRequest>();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].reason, RecoveryReason::decodeError);
    driver->connectionClosed(PeerCloseReason::remote());
    EXPECT_EQ(run->summary.recoveryRequests, 1);
    EXPECT_EQ(run->summary.firstDecodeError, "frame 1 did not decode");
}

TEST_F(SessionDriverTest, DurationCountsFromTheFirstConfiguration) {
    settings.durationNs = 500 * ms;
    makeDriver();
    streamUp();
    driver->tick(now += 499 * ms);
    EXPECT_FALSE(driver->end());
    driver->tick(now += 1 * ms);
    ASSERT_TRUE(driver->end());
    EXPECT_EQ(driver->end()->kind, SessionEnd::Kind::duration);
}

TEST_F(SessionDriverTest, ListOnlyEndsWithTheList) {
    settings.listOnly = true;
    makeDriver();
    driver->connected(now);
    driver->received(hostHello(), now);
    driver->received(msg::CaptureList{captureList()}, now);
    ASSERT_TRUE(driver->end());
    EXPECT_EQ(driver->end()->kind, SessionEnd::Kind::listed);
    EXPECT_EQ(link.names().back(), "bye");
    EXPECT_EQ(run->summary.captures.size(), 3u);
}

TEST_F(SessionDriverTest, ASelectionThatFitsNothingEndsTheRun) {
    settings.select = CaptureSelector(CaptureSelector::Display{3});
    makeDriver();
    driver->connected(now);
    driver->received(hostHello(), now);
    driver->received(msg::CaptureList{captureList()}, now);
    ASSERT_TRUE(driver->end());
    EXPECT_EQ(*driver->end(), (SessionEnd{SessionEnd::Kind::noCapture, "no capture of the host matches display 3"}));
}

TEST_F(SessionDriverTest, EndingsAndWhetherTheyAllowAnotherConnection) {
    struct Case {
        ControlMessage message;
        SessionEnd end;
        bool retryable;
    };
    const std::vector<Case> cases = {
        {msg::CaptureState{1, 2, CaptureStateValue::denied}, {SessionEnd::Kind::captureRefused, "denied"}, false},
        {msg::CaptureState{1, 2, CaptureStateValue::ended}, {SessionEnd::Kind::captureEnded, ""}, false},
        {msg::Bye{ByeReason::normal}, {SessionEnd::Kind::hostBye, "normal"}, false},
        {msg::Bye{ByeReason::revoked}, {SessionEnd::Kind::hostBye, "revoked"}, false},
        {msg::Bye{ByeReason::idle}, {SessionEnd::Kind::hostBye, "idle"}, true},
        {msg::Bye{ByeReason::shutdown}, {SessionEnd::Kind::hostBye, "shutdown"}, true},
        {msg::Error{ErrorCode::notAuthorized, "no"}, {SessionEnd::Kind::hostError, "notAuthorized"}, false},
        {msg::EnrollPending{}, {SessionEnd::Kind::violation, "message not allowed from host on session channel"}, false},
    };
    for (const Case& c : cases) {
        link = RecordingLink();
        makeDriver();
        streamUp();
        driver->received(c.message, now);
        ASSERT_TRUE(driver->end()) << c.message.caseName();
        EXPECT_EQ(*driver->end(), c.end) << c.message.caseName();
        EXPECT_EQ(driver->retryable(), c.retryable) << c.message.caseName();
        EXPECT_EQ(link.closes, 1) << c.message.caseName();
    }
}

TEST_F(SessionDriverTest, ADroppedConnectionMayBeRetriedAndKeepsWhatWasCounted) {
    makeDriver();
    streamUp();
    sendFrame(first, 1);
    driver->connectionClosed(PeerCloseReason::failed("idle timeout"));
    ASSERT_TRUE(driver->end());
    EXPECT_EQ(driver->end()->description(), "connectionLost(idle timeout)");
    EXPECT_TRUE(driver->retryable());
    EXPECT_EQ(run->summary.decoded, 1);
}

TEST_F(SessionDriverTest, InterruptStopsTheStreamAndSaysBye) {
    makeDriver();
    streamUp();
    driver->interrupt();
    EXPECT_EQ(link.all<msg::StopStream>().size(), 1u);
    EXPECT_EQ(link.all<msg::Bye>().at(0).reason, ByeReason::normal);
    EXPECT_EQ(driver->end()->kind, SessionEnd::Kind::interrupted);
    // Before the host's hello there is no stream to stop.
    link = RecordingLink();
    makeDriver();
    driver->connected(now);
    driver->interrupt();
    EXPECT_EQ(link.names(), (std::vector<std::string>{"hello", "capabilities", "bye"}));
}

TEST_F(SessionDriverTest, LossesAreAddedUpByReasonWhenTheConnectionCloses) {
    makeDriver();
    streamUp();
    sendFrame(first, 1);
    // Frame 2 never arrives whole: the first of its fragments only.
    auto second = encoder.encode(2);
    second.data.resize(3000);
    auto datagrams = MediaFragmenter::fragment(testing::encodedFrame(second, 2, 1, 1, now), 1200, 0);
    driver->datagram((*datagrams)[0], now);
    driver->tick(now += 201 * ms);
    driver->connectionClosed(PeerCloseReason::remote());
    EXPECT_EQ(run->summary.losses[static_cast<std::size_t>(FrameLossReason::expired)], 1);
    EXPECT_EQ(run->summary.recoveryRequests, 1);
    EXPECT_EQ(link.all<msg::RecoveryRequest>().at(0).reason, RecoveryReason::assemblyTimeout);
}

} // namespace
} // namespace quillmere
