// The program itself, run as a user runs it: help, one error line and a
// non-zero status for bad arguments and for hosts that are not paired or not
// there, and a whole session ended with Ctrl-C.

#include "QuillmereViewer/Tests/ScriptedHost.h"
#include "QuillmereViewer/Tests/ViewerProgram.h"
#include "QuillmereViewer/ViewerState.h"
#include "QuillmereWire/Invitation.h"
#include "TestSupport/Eventually.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

namespace quillmere {
namespace {

using testing::runViewer;
using Outcome = testing::ViewerOutcome;

Outcome run(const std::vector<std::string>& arguments) { return runViewer(arguments); }

std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Exactly one line, the program's error line.
void expectOneErrorLine(const Outcome& outcome, const std::string& text) {
    EXPECT_EQ(outcome.err, "quillmere-viewer: error: " + text + "\n");
    EXPECT_EQ(outcome.out, "");
}

TEST(CommandLine, HelpDocumentsEveryCommandOnStandardOutput) {
    for (const char* form : {"--help", "help", "-h"}) {
        const Outcome outcome = run({form});
        EXPECT_EQ(outcome.status, 0) << form;
        EXPECT_EQ(outcome.err, "");
        EXPECT_NE(outcome.out.find("Usage: quillmere-viewer"), std::string::npos);
        EXPECT_NE(outcome.out.find("pair INVITATION"), std::string::npos);
        EXPECT_NE(outcome.out.find("--expect-test-pattern"), std::string::npos);
    }
}

TEST(CommandLine, BadArgumentsGiveOneLineAndStatusTwo) {
    Outcome outcome = run({});
    EXPECT_EQ(outcome.status, 2);
    expectOneErrorLine(outcome, "a command is needed: pair or connect (see quillmere-viewer --help)");

    outcome = run({"connect", "--frames", "none"});
    EXPECT_EQ(outcome.status, 2);
    expectOneErrorLine(outcome,
                       "--frames needs a whole number of at least 1, not \"none\" (see quillmere-viewer --help)");

    outcome = run({"pair", "quillmere:1:not-an-invitation"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err.rfind("quillmere-viewer: error: the invitation is not valid: ", 0), 0u) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
}

TEST(CommandLine, WithoutAPairedHostConnectSaysSo) {
    testing::TemporaryFolder state;
    const Outcome outcome = run({"--state", state.path().string(), "connect"});
    EXPECT_EQ(outcome.status, 3);
    expectOneErrorLine(outcome, "no paired host: pair with one first (quillmere-viewer pair <invitation>)");
}

TEST(CommandLine, AnUnreachableHostIsOneLineAndStatusThree) {
    testing::TemporaryFolder state;
    {
        auto store = ViewerState(state.path()).trustStore();
        ASSERT_TRUE(store->add(TrustedPeer(WireID{}, Digest32{}, "Gone", PeerRole::host, 1)));
    }
    const std::uint16_t port = closedPort();
    const Outcome outcome = run({"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port",
                                 std::to_string(port), "--timeout", "0.5", "--retries", "0"});
    EXPECT_EQ(outcome.status, 3);
    expectOneErrorLine(outcome, fmt::format("could not reach the host at 127.0.0.1:{}: handshake timeout", port));
}

TEST(CommandLine, AnInvitationNobodyAnswersIsOneLineAndStatusThree) {
    testing::TemporaryFolder state;
    Invitation invitation;
    invitation.expiresAt = static_cast<std::uint32_t>(::time(nullptr) + 300);
    invitation.port = closedPort();
    invitation.address = "127.0.0.1";
    invitation.hostName = "Nobody";
    const Outcome outcome = run({"pair", "--state", state.path().string(), "--timeout", "0.5", *invitation.encoded()});
    EXPECT_EQ(outcome.status, 3);
    expectOneErrorLine(outcome, "could not reach the host: handshake timeout");
}

TEST(CommandLine, CtrlCEndsASessionWithByeAndStillReports) {
    testing::TemporaryFolder state;
    testing::TestKeychain keychain;
    const LocalIdentity hostIdentity = keychain.make("host");
    testing::TrustSet trust;
    {
        ViewerState viewer(state.path());
        trust.add(viewer.identity()->fingerprint);
        ASSERT_TRUE(viewer.trustStore()->add(
            TrustedPeer(WireID{}, hostIdentity.fingerprint, "Scripted host", PeerRole::host, 1)));
    }
    testing::ScriptedHost host(hostIdentity, trust, {});
    // A snapshot is written once a frame is decoded and checked: then the
    // verdict can pass.
    testing::TemporaryFolder output;
    const auto snapshots = output.path() / "snapshots";
    testing::ChildProcess viewer = testing::startViewer(
        {"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port", std::to_string(host.port()),
         "--select", "title:Test pattern", "--expect-test-pattern", "--snapshots", snapshots.string(),
         "--snapshot-every", "1"},
        output);
    ASSERT_TRUE(host.waitForStreaming());
    ASSERT_TRUE(testing::eventually([&] {
        std::error_code ignored;
        return !std::filesystem::is_empty(snapshots, ignored) && !ignored;
    }));
    viewer.signal(SIGINT);
    const Outcome outcome = testing::finishViewer(viewer);
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out.rfind(R"({"verdict":"pass","failures":[],"end":"interrupted")", 0), 0u) << outcome.out;
    EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 1) << "one JSON line";
    ASSERT_TRUE(host.waitFor([](const auto& all) {
        return !all.empty() && all[0].size() >= 2 && all[0].back() == "bye";
    }));
    const auto names = host.received()[0];
    EXPECT_EQ(names[names.size() - 2], "stopStream");
}

} // namespace
} // namespace quillmere
