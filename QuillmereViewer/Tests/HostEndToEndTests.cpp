// The viewer against the real host service, in one process: the engine with
// its keychain trust store, the transport service with its session listener
// and the enrollment service with its pairing listener, all on a main actor
// of their own, and a scripted media side. The viewer pairs through a real
// invitation, then opens a session and checks every frame it decodes.

#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereViewer/Tests/ScriptedMedia.h"
#include "QuillmereViewer/ViewerCommands.h"
#include "TestSupport/AvahiTestDaemon.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/TemporaryFolder.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <future>
#include <sstream>

namespace quillmere {
namespace {

using namespace testing;

// The host with the scripted media side, under the name the viewer reports.
struct Host : TestHost {
    explicit Host(bool advertise = false) : Host(std::make_shared<ScriptedMedia>(), advertise) {}
    Host(std::shared_ptr<ScriptedMedia> scripted, bool advertise)
        : TestHost({.name = "Integration Mac", .media = scripted, .advertise = advertise}), scripted(std::move(scripted)) {
        start();
    }

    std::shared_ptr<ScriptedMedia> scripted;
};

struct ViewerRunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// The viewer's whole program, on a thread of its own.
std::future<ViewerRunResult> viewer(std::vector<std::string> arguments, const Interruption& interruption) {
    return std::async(std::launch::async, [arguments = std::move(arguments), &interruption] {
        std::vector<std::string_view> views(arguments.begin(), arguments.end());
        std::ostringstream out;
        std::ostringstream err;
        ViewerRunResult result;
        result.status = runViewer(views, out, err, interruption);
        result.out = out.str();
        result.err = err.str();
        return result;
    });
}

bool inOrder(const std::vector<std::string>& journal, const std::vector<std::string>& expected) {
    auto at = journal.begin();
    for (const auto& line : expected) {
        at = std::find(at, journal.end(), line);
        if (at == journal.end()) return false;
    }
    return true;
}

class HostEndToEnd : public ::testing::Test {
protected:
    // Pairs the viewer through the host's invitation and its user's approval.
    void pair() {
        auto paired = viewer({"pair", "--state", state.path().string(), "--name", "Integration viewer",
                              host.showInvitation(300)},
                             interruption);
        const auto waiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
        ASSERT_TRUE(waiting);
        EXPECT_EQ(waiting->deviceName, "Integration viewer");
        host.decide(waiting->token, true);
        const ViewerRunResult result = paired.get();
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.rfind("paired with \"Integration Mac\" (fingerprint ", 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
        const auto finished = host.awaitPairing<EnrollmentState::Finished>();
        ASSERT_TRUE(finished);
        EXPECT_EQ(finished->message, "Integration viewer is paired.");
    }

    LogCapture log;
    Host host;
    TemporaryFolder state;
    Interruption interruption;
};

TEST(HostEndToEndDiscovery, AHostFoundByItsAdvertisementIsConnectedWithoutAnAddress) {
    AvahiTestDaemon daemon;
    if (daemon.namespacesRefused()) GTEST_SKIP() << daemon.problem();
    ASSERT_TRUE(daemon.problem().empty()) << daemon.problem();
    Host host(true);
    TemporaryFolder state;
    Interruption interruption;
    auto paired = viewer({"pair", "--state", state.path().string(), host.showInvitation(300)}, interruption);
    const auto waiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(waiting);
    host.decide(waiting->token, true);
    ASSERT_EQ(paired.get().status, 0);

    auto session = viewer({"connect", "--state", state.path().string(), "--max-size", "160x96", "--frames", "5",
                           "--verbose"},
                          interruption);
    const ViewerRunResult result = session.get();
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.err.find(fmt::format("quillmere-viewer: connecting to \"Integration Mac\" at 127.0.0.1:{}\n",
                                          host.sessionPort())),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.rfind(R"({"verdict":"pass")", 0), 0u) << result.out;
}

TEST_F(HostEndToEnd, PairsThenStreamsTheTestPatternWithInputAndEndsWithStopAndBye) {
    pair();
    ASSERT_EQ(host.peers().size(), 1u);
    EXPECT_EQ(host.peers()[0].name, "Integration viewer");

    TemporaryFolder outputs;
    const auto timing = outputs.path() / "timing.jsonl";
    // The session greets the host with the name the viewer paired under.
    auto session = viewer({"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port",
                           std::to_string(host.sessionPort()), "--select", "title:Test pattern", "--max-size", "160x96",
                           "--frames", "40", "--expect-test-pattern", "--type", "hi", "--move", "40,50", "--click",
                           "--timing-log", timing.string(), "--snapshots", (outputs.path() / "shots").string(),
                           "--snapshot-every", "20"},
                          interruption);
    const ViewerRunResult result = session.get();
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind(R"({"verdict":"pass","failures":[],"end":"frameLimit","endDetail":null,)"
                               R"("host":"Integration Mac","connections":1,)",
                               0),
              0u)
        << result.out;
    EXPECT_NE(result.out.find(R"("frames":{"delivered":40,"decoded":40,"corrupt":0,"configurations":1})"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(R"("testPattern":{"checked":40,"mismatches":0,"skipped":0,"first":1,"last":40})"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(R"("input":{"control":"finished","eventsSent":4,)"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(R"("latencyMs":{"frames":40,)"), std::string::npos) << result.out;
    EXPECT_TRUE(std::filesystem::exists(outputs.path() / "shots" / "frame-1.png"));
    EXPECT_TRUE(std::filesystem::exists(outputs.path() / "shots" / "frame-21.png"));

    // The host's side of the same session, in order: the capture list, the
    // consent, the configuration and start, the input, then the stop.
    ASSERT_TRUE(eventually([&] { return host.scripted->saw("stopSurface 1"); })) << fmt::format("{}", host.scripted->journal());
    EXPECT_TRUE(inOrder(host.scripted->journal(),
                        {"windowList", "consent testPattern for Integration viewer", "startSurface 1 testPattern",
                         "beginMedia 1", "control for Integration viewer", "inject text hi", "inject moveAbsolute 40,50",
                         "inject buttonDown left", "inject buttonUp left", "stopSurface 1"}))
        << fmt::format("{}", host.scripted->journal());
    // The session is over on the host too: its connection closed and no session is left.
    ASSERT_TRUE(eventually([&] {
        const auto lines = log.lines("transport");
        return std::any_of(lines.begin(), lines.end(),
                           [](const std::string& line) { return line.starts_with("connection closed: "); });
    })) << fmt::format("{}", log.lines("transport"));
    ASSERT_TRUE(eventually([&] { return host.status().activeSessionCount == 0; }));
}

TEST_F(HostEndToEnd, TheCaptureListIsReportedAndADeviceRemovedOnTheHostIsRefused) {
    pair();
    auto listed = viewer({"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port",
                          std::to_string(host.sessionPort()), "--list"},
                         interruption);
    const ViewerRunResult list = listed.get();
    ASSERT_EQ(list.status, 0) << list.out << list.err;
    EXPECT_NE(list.out.find(R"("captures":[{"windowID":4294967040,"title":"Built-in Display","app":"","width":1920,)"
                            R"j("height":1080},{"windowID":4294967280,"title":"Test pattern (measurement)")j"),
              std::string::npos)
        << list.out;

    const WireID viewerID = host.peers().at(0).deviceID;
    host.main.sync([&] { host.engine->removeDevice(viewerID); });
    auto refused = viewer({"connect", "--state", state.path().string(), "--host", "127.0.0.1", "--port",
                           std::to_string(host.sessionPort()), "--frames", "1", "--retries", "0"},
                          interruption);
    const ViewerRunResult result = refused.get();
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, fmt::format("quillmere-viewer: error: the host at 127.0.0.1:{} refused this viewer: it is not "
                                      "paired with that host (pair again)\n",
                                      host.sessionPort()));
}

TEST_F(HostEndToEnd, APairingTheHostsUserDeniesIsOneErrorLine) {
    auto paired = viewer({"pair", "--state", state.path().string(), host.showInvitation(300)}, interruption);
    const auto waiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(waiting);
    host.decide(waiting->token, false);
    const ViewerRunResult result = paired.get();
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, "quillmere-viewer: error: the host's user denied the pairing\n");
    EXPECT_TRUE(host.peers().empty());
}

} // namespace
} // namespace quillmere
