// The small values of the viewer: capture selection, the input script and
// its lease renewals, and the summary with its verdict.

#include "TestSupport/TestValues.h"
#include "QuillmereViewer/CaptureSelector.h"
#include "QuillmereViewer/InputScript.h"
#include "QuillmereViewer/SessionSummary.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::ms;

const std::vector<CaptureWindow> windows = {
    {0xFFFFFF00, "Display 1", "", 1920, 1080},
    {0xFFFFFF01, "Display 2", "", 1280, 1024},
    {812, "Terminal — bash", "Terminal", 800, 600},
    {0xFFFFFFF0, "Test pattern (measurement)", "", 320, 180},
};

std::string chosen(std::string_view selection) {
    auto selector = CaptureSelector::parse(selection);
    EXPECT_TRUE(selector) << selection;
    auto window = selector->choose(windows);
    return window ? window->title : "error: " + window.error();
}

TEST(CaptureSelector, ByIdentifierDisplayOrTitle) {
    EXPECT_EQ(chosen("812"), "Terminal — bash");
    EXPECT_EQ(chosen("0x32c"), "Terminal — bash");
    EXPECT_EQ(chosen("0xFFFFFFF0"), "Test pattern (measurement)");
    EXPECT_EQ(chosen("display:1"), "Display 2");
    EXPECT_EQ(chosen("terminal"), "Terminal — bash");
    EXPECT_EQ(chosen("title:TEST PATTERN"), "Test pattern (measurement)");
    EXPECT_EQ(chosen("title:812"), "error: no capture of the host matches title \"812\"");
    EXPECT_EQ(chosen("display:5"), "error: no capture of the host matches display 5");
    EXPECT_EQ(chosen("7"), "error: no capture of the host matches window 7");
    EXPECT_EQ(CaptureSelector().choose(windows)->windowID, 0xFFFFFF00u);
    EXPECT_EQ(CaptureSelector().choose({}).error(), "the host offers nothing to capture");
}

TEST(CaptureSelector, BadSelectionsAreRefused) {
    EXPECT_FALSE(CaptureSelector::parse("display:x"));
    EXPECT_FALSE(CaptureSelector::parse("title:"));
    EXPECT_EQ(CaptureSelector::parse("0x").value(), CaptureSelector(CaptureSelector::Title{"0x"}));
    EXPECT_EQ(CaptureSelector::parse("99999999999").value(), CaptureSelector(CaptureSelector::Title{"99999999999"}))
        << "too large for an identifier: a title";
}

TEST(InputScript, AsksOnceThenSendsOneEventPerStepUnderTheGrant) {
    InputScript script({input_step::Move{3, 4}, input_step::Click{}}, 50 * ms);
    EXPECT_FALSE(script.poll(0)) << "nothing before the grant";
    EXPECT_EQ(script.request(), ControlMessage(msg::InputControlRequest{}));
    EXPECT_FALSE(script.request());
    script.controlState(9, InputControlStateValue::granted, 500);
    EXPECT_EQ(script.poll(100 * ms), ControlMessage(msg::Input{1, 9, input::PointerAbsolute{3, 4}}));
    EXPECT_FALSE(script.poll(120 * ms));
    EXPECT_EQ(script.poll(150 * ms), ControlMessage(msg::Input{2, 9, input::Button{InputButton::left, true}}));
    script.controlState(9, InputControlStateValue::expired, 500);
    EXPECT_EQ(script.phase(), InputScript::Phase::granted) << "an expiry only let go of what was held";
    EXPECT_EQ(script.poll(200 * ms), ControlMessage(msg::Input{3, 9, input::Button{InputButton::left, false}}));
    EXPECT_EQ(script.phase(), InputScript::Phase::finished);
    EXPECT_FALSE(script.poll(900 * ms));
    EXPECT_EQ(script.eventsSent(), 3);
}

TEST(InputScript, RenewsTheLeaseWhenHalfOfItPassedBetweenSteps) {
    InputScript script({input_step::Click{}}, 400 * ms);
    script.request();
    script.controlState(1, InputControlStateValue::granted, 300);
    ASSERT_TRUE(script.poll(0));
    EXPECT_FALSE(script.poll(149 * ms));
    EXPECT_EQ(script.poll(150 * ms), ControlMessage(msg::Input{2, 1, input::Renew{}}));
    EXPECT_FALSE(script.poll(299 * ms));
    EXPECT_EQ(script.poll(300 * ms), ControlMessage(msg::Input{3, 1, input::Renew{}}));
    // Renewals keep the lease; the next event still comes one step after the last.
    EXPECT_EQ(script.poll(400 * ms), ControlMessage(msg::Input{4, 1, input::Button{InputButton::left, false}}));
    EXPECT_EQ(script.renewalsSent(), 2);
}

TEST(InputScript, RefusalAndRevocationEndIt) {
    InputScript refused({input_step::Click{}});
    refused.request();
    refused.controlState(0, InputControlStateValue::denied, 0);
    EXPECT_EQ(refused.phase(), InputScript::Phase::refused);
    refused.controlState(1, InputControlStateValue::granted, 500);
    EXPECT_EQ(refused.phase(), InputScript::Phase::refused);

    InputScript revoked({input_step::Click{}});
    revoked.request();
    revoked.controlState(1, InputControlStateValue::granted, 500);
    revoked.controlState(1, InputControlStateValue::revoked, 0);
    EXPECT_FALSE(revoked.poll(0));
    EXPECT_EQ(revoked.phase(), InputScript::Phase::revoked);
}

TEST(InputScript, LongTextIsCutBetweenCharacters) {
    std::string text;
    for (int i = 0; i < 100; ++i) text += "é€";
    const auto events = InputScript::eventsFor({input_step::Type{text}});
    ASSERT_EQ(events.size(), 2u);
    std::string joined;
    for (const auto& event : events) {
        const auto& piece = std::get<input::Text>(event).text;
        EXPECT_LE(piece.size(), InputEvent::maxTextBytes);
        joined += piece;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(std::get<input::Text>(events[0]).text.size(), 255u) << "2 + 3 bytes a pair: 51 whole pairs";
}

TEST(SessionSummary, LatencyPercentilesAreNearestRankOnOurClock) {
    SessionSummary summary;
    summary.clockOffset = ClockOffsetEstimator::Estimate{1000 * static_cast<std::int64_t>(ms), 0, 0, 4};
    for (std::uint64_t i = 1; i <= 100; ++i) {
        // Captured on the host 1 s ahead; decoded i ms later on ours.
        summary.captureAndDecodedNs.emplace_back(5'000 * ms + 1'000 * ms, 5'000 * ms + i * ms);
    }
    const auto latency = summary.latency();
    ASSERT_TRUE(latency);
    EXPECT_EQ(latency->frames, 100);
    EXPECT_DOUBLE_EQ(latency->p50Ms, 50);
    EXPECT_DOUBLE_EQ(latency->p90Ms, 90);
    EXPECT_DOUBLE_EQ(latency->p99Ms, 99);
    EXPECT_DOUBLE_EQ(latency->maxMs, 100);
    summary.clockOffset.reset();
    EXPECT_FALSE(summary.latency()) << "no estimate, no latency";
}

TEST(SessionSummary, VerdictNamesEveryFailedCheck) {
    SessionSummary summary;
    summary.expectTestPattern = true;
    summary.testPattern.emplace();
    summary.testPattern->check(5);
    summary.testPattern->check(4);
    summary.corrupt = 2;
    summary.firstDecodeError = "frame 3 gave no picture";
    summary.inputWanted = true;
    summary.inputPhase = InputScript::Phase::requested;
    summary.clipboardWanted = true;
    summary.end = SessionEnd{SessionEnd::Kind::hostBye, "normal"};
    EXPECT_EQ(summary.failures(),
              (std::vector<std::string>{"ended early: hostBye(normal)", "no frame was decoded",
                                        "2 corrupt frames (first: frame 3 gave no picture)",
                                        "1 test-pattern mismatch (first: frame 4 after 5)",
                                        "input was not all sent: control requested",
                                        "the clipboard pull was not answered"}));
    const std::string json = summary.json();
    EXPECT_EQ(json.rfind(R"j({"verdict":"fail","failures":["ended early: hostBye(normal)",)j", 0), 0u) << json;
    EXPECT_NE(json.find(R"("end":"hostBye","endDetail":"normal")"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("testPattern":{"checked":2,"mismatches":1,"skipped":0,"first":5,"last":5})"),
              std::string::npos)
        << json;
}

TEST(SessionSummary, APassingRunAsOneJSONLine) {
    SessionSummary summary;
    summary.end = SessionEnd{SessionEnd::Kind::frameLimit, {}};
    summary.hostName = "Studio \"Mac\"";
    summary.capture = CaptureWindow{7, "a\tb", "App", 640, 360};
    summary.connections = 1;
    summary.delivered = 10;
    summary.decoded = 10;
    summary.losses[static_cast<std::size_t>(FrameLossReason::late)] = 2;
    EXPECT_TRUE(summary.passed());
    EXPECT_EQ(summary.json(),
              R"({"verdict":"pass","failures":[],"end":"frameLimit","endDetail":null,"host":"Studio \"Mac\"",)"
              R"("connections":1,"capture":{"windowID":7,"title":"a\tb","app":"App","width":640,"height":360},)"
              R"("frames":{"delivered":10,"decoded":10,"corrupt":0,"configurations":0},)"
              R"("losses":{"expired":0,"evicted":0,"superseded":0,"conflict":0,"late":2,"gap":0},)"
              R"("datagrams":{"received":0,"rejected":0,"duplicates":0},"recoveryRequests":0,"clockOffset":null,)"
              R"("latencyMs":null,"testPattern":null,"input":null,"clipboard":null,"snapshots":0,"snapshotsSkipped":0,)"
              R"("timingLog":null})");
}

} // namespace
} // namespace quillmere
