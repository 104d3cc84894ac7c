// Whole connect runs over real QUIC on loopback against a scripted host:
// frames decoded and checked to the limit, input and the timing log,
// reconnecting after a drop, and a host that must not be talked to.

#include "QuillmereViewer/ConnectRunner.h"
#include "QuillmereViewer/Tests/ScriptedHost.h"

#include <gtest/gtest.h>

#include <fstream>

namespace quillmere {
namespace {

using testing::ScriptedHost;

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

class ConnectRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostIdentity = keychain.make("host");
        viewerIdentity = keychain.make("viewer");
        trust.add(viewerIdentity->fingerprint);
    }

    viewer::ConnectCommand command(std::uint16_t port) {
        viewer::ConnectCommand command;
        command.host = "127.0.0.1";
        command.port = port;
        command.select = *CaptureSelector::parse("title:test pattern");
        command.expectTestPattern = true;
        command.maxWidth = 160;
        command.maxHeight = 96;
        command.timeoutSeconds = 5;
        return command;
    }

    TrustedPeer pairedHost(const LocalIdentity& identity) {
        return TrustedPeer(WireID{}, identity.fingerprint, "Scripted host", PeerRole::host, 0);
    }

    std::expected<SessionSummary, ViewerError> run(viewer::ConnectCommand command,
                                                   std::optional<LocalIdentity> paired = std::nullopt) {
        ConnectRunner runner(std::move(command), *viewerIdentity, WireID{}, "Loopback viewer",
                             {pairedHost(paired ? *paired : *hostIdentity)});
        return runner.run(interruption);
    }

    testing::TestKeychain keychain;
    testing::TrustSet trust;
    std::optional<LocalIdentity> hostIdentity;
    std::optional<LocalIdentity> viewerIdentity;
    Interruption interruption;
};

TEST_F(ConnectRunnerTest, FramesAreDecodedAndCheckedUpToTheLimitThenTheSessionEndsWithBye) {
    ScriptedHost host(*hostIdentity, trust, {});
    auto cmd = command(host.port());
    cmd.frameLimit = 20;
    const auto summary = run(cmd);
    ASSERT_TRUE(summary) << summary.error().text;
    EXPECT_TRUE(summary->passed()) << summary->json();
    EXPECT_EQ(summary->decoded, 20);
    EXPECT_EQ(summary->corrupt, 0);
    EXPECT_EQ(summary->testPattern->checked(), 20);
    EXPECT_EQ(summary->testPattern->first(), 1u);
    EXPECT_EQ(summary->testPattern->mismatches(), 0);
    EXPECT_EQ(summary->hostName, "Scripted host");
    EXPECT_EQ(summary->capture->windowID, 0xFFFFFFF0u);
    ASSERT_TRUE(summary->latency()) << "the clock pings gave an estimate";
    EXPECT_GE(summary->latency()->p50Ms, 0);
    ASSERT_TRUE(host.waitFor([](const auto& all) { return !all.empty() && contains(all[0], "bye"); }));
    const auto names = host.received().at(0);
    const std::vector<std::string> start(names.begin(), names.begin() + 6);
    EXPECT_EQ(start, (std::vector<std::string>{"hello", "capabilities", "captureListRequest", "captureSelect",
                                               "configAck", "startStream"}));
    EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), (std::vector<std::string>{"stopStream", "bye"}));
}

TEST_F(ConnectRunnerTest, InputFollowsTheGrantAndTheTimingLogIsWritten) {
    ScriptedHost host(*hostIdentity, trust, {});
    testing::TemporaryFolder folder;
    auto cmd = command(host.port());
    cmd.frameLimit = 5;
    cmd.input = {input_step::Type{"héllo"}, input_step::Move{40, 50}, input_step::Click{}};
    cmd.timingLog = folder.path() / "timing.jsonl";
    const auto summary = run(cmd);
    ASSERT_TRUE(summary) << summary.error().text;
    EXPECT_TRUE(summary->passed()) << summary->json();
    const auto inputs = host.inputs();
    ASSERT_EQ(inputs.size(), 4u);
    EXPECT_EQ(inputs[0].event, InputEvent(input::Text{"héllo"}));
    EXPECT_EQ(inputs[1].event, InputEvent(input::PointerAbsolute{40, 50}));
    EXPECT_EQ(inputs[3].event, InputEvent(input::Button{InputButton::left, false}));
    EXPECT_EQ(summary->timingLog, cmd.timingLog->string());
    std::ifstream in(*cmd.timingLog);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_EQ(line.rfind("{\"frame\":", 0), 0u) << line;
    }
    EXPECT_GE(lines, 5);
}

TEST_F(ConnectRunnerTest, ADroppedConnectionIsOpenedAgainAndTheRunGoesOn) {
    ScriptedHost host(*hostIdentity, trust, ScriptedHost::Script{.dropFirstAfter = 5});
    auto cmd = command(host.port());
    cmd.frameLimit = 15;
    const auto summary = run(cmd);
    ASSERT_TRUE(summary) << summary.error().text;
    EXPECT_TRUE(summary->passed()) << summary->json();
    EXPECT_EQ(summary->connections, 2);
    EXPECT_EQ(host.received().size(), 2u);
    EXPECT_EQ(summary->decoded, 15);
    EXPECT_EQ(summary->testPattern->mismatches(), 0) << "the second session's pattern starts again at 1";
    const auto nonces = host.nonces();
    EXPECT_NE(nonces.at(0), nonces.at(1)) << "each session has a nonce of its own";
    EXPECT_NE(nonces.at(0), WireID{});
}

TEST_F(ConnectRunnerTest, WithoutRetriesADropEndsTheRunAsLost) {
    ScriptedHost host(*hostIdentity, trust, ScriptedHost::Script{.dropFirstAfter = 3});
    auto cmd = command(host.port());
    cmd.frameLimit = 50;
    cmd.retries = 0;
    const auto summary = run(cmd);
    ASSERT_TRUE(summary) << summary.error().text;
    EXPECT_FALSE(summary->passed());
    EXPECT_EQ(summary->end->kind, SessionEnd::Kind::connectionLost) << summary->json();
    EXPECT_EQ(summary->connections, 1);
}

TEST_F(ConnectRunnerTest, AHostWithAnotherFingerprintIsNotTalkedTo) {
    ScriptedHost host(*hostIdentity, trust, {});
    auto cmd = command(host.port());
    cmd.frameLimit = 1;
    const auto summary = run(cmd, keychain.make("another host"));
    ASSERT_FALSE(summary);
    EXPECT_NE(summary.error().text.find("presented fingerprint"), std::string::npos) << summary.error().text;
    EXPECT_TRUE(host.received().empty() || host.received()[0].empty()) << "nothing reached the host";
}

} // namespace
} // namespace quillmere
