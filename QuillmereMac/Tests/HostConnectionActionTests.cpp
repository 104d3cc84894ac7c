#include "QuillmereMac/Tests/HostConnectionFixture.h"

namespace quillmere::testing {
namespace {

TEST_F(HostConnectionTest, CaptureIdentifiersBecomeChoicesInThePrompt) {
    hello();
    peer->receive(msg::CaptureSelect{1, 0xFFFFFF00 + 3});
    peer->receive(msg::CaptureSelect{2, 0xFFFFFF00 + 16});
    peer->receive(msg::CaptureSelect{3, 0xFFFFFFF0});
    const Transcript seen = take();
    const std::vector<std::string> prompts(seen.begin() + 3, seen.end());
    EXPECT_EQ(prompts, (std::vector<std::string>{"media requestCaptureConsent(display(3), 4294967043, Phone)",
                                                 "media requestCaptureConsent(window(4294967056), 4294967056, Phone)",
                                                 "media requestCaptureConsent(testPattern, 4294967280, Phone)"}));
}

TEST_F(HostConnectionTest, TheSwitchedOffTestPatternIsDeniedWithoutAPrompt) {
    hello();
    media->testPattern = false;
    peer->receive(msg::CaptureSelect{S, 0xFFFFFFF0});
    EXPECT_EQ(transcript, (Transcript{"send captureState(7 gen 1 awaitingConsent)"}));
    EXPECT_EQ(take(), (Transcript{"send captureState(7 gen 1 awaitingConsent)", "send captureState(7 gen 1 denied)"}));
    EXPECT_TRUE(media->consentReplies.empty());
}

TEST_F(HostConnectionTest, ADeniedConsentStartsNoSurface) {
    hello();
    peer->receive(msg::CaptureSelect{S, W});
    take();
    media->consentReplies.back()(false);
    EXPECT_EQ(take(), (Transcript{"send captureState(7 gen 1 denied)"}));
    // A second answer to the same prompt is stale: nothing is sent or started.
    media->consentReplies.back()(true);
    EXPECT_TRUE(take().empty());
}

TEST_F(HostConnectionTest, ActionsAfterCloseInTheSameListStillRun) {
    hello();
    connection->perform({action::Send{msg::Ping{1}}, action::Close{}, action::Send{msg::Ping{2}}});
    EXPECT_EQ(take(), (Transcript{"send ping", "close(1)", "send ping"}));
}

TEST_F(HostConnectionTest, AWindowListIsCutToSixtyFourEntries) {
    hello();
    for (std::uint32_t i = 0; i < 70; ++i) media->windows.push_back(CaptureWindow{i + 1, "w", "a", 10, 10});
    peer->receive(msg::CaptureListRequest{});
    EXPECT_EQ(take(), (Transcript{"media captureList", "send captureList(64)"}));
    EXPECT_EQ(std::get<msg::CaptureList>(peer->controls.back()).windows.back().windowID, 64u);
}

TEST_F(HostConnectionTest, TextSizeZeroLeavesTheFlagAsItWas) {
    hello();
    stream(S);
    peer->receive(msg::TextSize{0});
    EXPECT_FALSE(connection->textSizeChanged());
    peer->receive(msg::TextSize{1});
    peer->receive(msg::TextSize{0});
    EXPECT_TRUE(connection->textSizeChanged());
    EXPECT_EQ(take(), (Transcript{"media setTextSize(0)", "media setTextSize(1)", "media setTextSize(0)"}));
}

TEST_F(HostConnectionTest, WithoutAMediaSideEveryQuestionIsAnsweredNo) {
    hello();
    stream(S);
    media.reset();
    peer->receive(msg::CaptureSelect{2, W});
    peer->receive(msg::ClipboardPush{1, "x"});
    peer->receive(msg::ClipboardPull{2});
    peer->receive(msg::InputControlRequest{});
    peer->receive(msg::CaptureListRequest{});
    peer->receive(msg::TextSize{1});
    peer->receive(msg::ScreenShape{2});
    EXPECT_EQ(take(), (Transcript{"send captureState(2 gen 2 awaitingConsent)", "send captureState(2 gen 2 unavailable)",
                                  "send clipboardResult(1 denied)", "send clipboardResult(2 denied)",
                                  "send inputControlState(gen 0 denied lease 0)", "send captureList(0)"}));
    EXPECT_TRUE(connection->textSizeChanged());
    EXPECT_TRUE(connection->screenShapeChanged());
    // Nothing to restore on a media side that is gone.
    peer->emit(peer::Closed{PeerCloseReason::remote()});
    EXPECT_TRUE(take().empty());
}

TEST_F(HostConnectionTest, ControlIsRefusedWithoutAPromptWhenInputMayNotBePosted) {
    hello();
    stream(S);
    media->mayPostInput = false;
    peer->receive(msg::InputControlRequest{});
    EXPECT_TRUE(transcript.empty()); // the refusal comes by a hop
    EXPECT_EQ(take(), (Transcript{"send inputControlState(gen 0 denied lease 0)"}));
    EXPECT_TRUE(media->controlReplies.empty());
}

TEST_F(HostConnectionTest, AMediaSideGoneBeforeThePromptCountsAsARefusal) {
    hello();
    peer->receive(msg::CaptureSelect{S, W});
    peer->receive(msg::ClipboardPull{3});
    media.reset(); // the prompts' tasks have not run yet
    EXPECT_EQ(take(), (Transcript{"send captureState(7 gen 1 awaitingConsent)", "send captureState(7 gen 1 denied)",
                                  "send clipboardResult(3 denied)"}));
}

TEST_F(HostConnectionTest, ClipboardAnswersComeBackThroughTheSession) {
    hello();
    peer->receive(msg::ClipboardPull{4});
    EXPECT_EQ(take(), (Transcript{"media readClipboard(Phone)"}));
    media->readReplies.back()(true, std::string("copied"));
    EXPECT_EQ(take(), (Transcript{"send clipboardPush"}));
    peer->receive(msg::ClipboardPush{5, "pasted"});
    take();
    media->writeReplies.back()(ClipboardOutcome::tooLarge);
    EXPECT_EQ(take(), (Transcript{"send clipboardResult(5 tooLarge)"}));
}

TEST_F(HostConnectionTest, PauseEmptiesTheSendersQueueAndBudgetsReachTheMediaSide) {
    hello();
    stream(S);
    connection->perform({action::PauseMedia{S, true}, action::SetSurfaceBudget{S, 640, 480},
                         action::ClearSurfaceBudget{S}, action::ForceKeyframe{99}, action::SetBitrate{99, 1},
                         action::StartMedia{99}});
    EXPECT_EQ(take(), (Transcript{"media setPaused(7, true)", "media setSurfaceBudget(7, 640, 480)",
                                  "media clearSurfaceBudget(7)"}));
    EXPECT_FALSE(connection->senders().contains(99));
    EXPECT_TRUE(connection->senders().contains(S));
}

TEST_F(HostConnectionTest, PipelineChangesRunOnThePipelinesQueue) {
    hello();
    stream(S);
    connection->perform({action::SetBitrate{S, 12000}, action::SetTier{S, {SurfaceTier::secondary, 30, 8000}},
                         action::ForceKeyframe{S}});
    EXPECT_TRUE(transcript.empty());
    EXPECT_EQ(take(), (Transcript{"pipeline 7 setBitrate(12000)", "pipeline 7 setTier(30, 8000)",
                                  "pipeline 7 keyframeRequested"}));
}

TEST_F(HostConnectionTest, StoppingAndRestartingASurfaceSummarisesEachSenderOnce) {
    hello();
    stream(S);
    connection->perform({action::StartMedia{S}}); // replaces the sender
    peer->receive(msg::StopStream{S, StopReason::user});
    take();
    peer->emit(peer::Closed{PeerCloseReason::remote()});
    std::size_t summaries = 0;
    for (const auto& line : log.lines("transport")) summaries += line.starts_with("surface closed: frames sent=0");
    EXPECT_EQ(summaries, 2u);
}

} // namespace
} // namespace quillmere::testing
