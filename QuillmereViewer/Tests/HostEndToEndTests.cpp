// The viewer against the real host service, in one process: the engine with
// its keychain trust store, the transport service with its session listener
// and the enrollment service with its pairing listener, all on a main actor
// of their own, and a scripted media side. The viewer pairs through a real
// invitation, then opens a session and checks every frame it decodes.

#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Enrollment/EnrollmentService.h"
#include "QuillmereMac/HostService/HostTransportService.h"
#include "QuillmereMac/Tests/HostServiceTestSupport.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "QuillmereViewer/Tests/ScriptedMedia.h"
#include "QuillmereViewer/ViewerCommands.h"
#include "TestSupport/AvahiTestDaemon.h"
#include "TestSupport/PrivateBus.h"
#include "TestSupport/SignalSender.h"
#include "TestSupport/TemporaryFolder.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <future>
#include <sstream>

namespace quillmere {
namespace {

using namespace testing;

constexpr std::uint64_t millisecond = 1'000'000;

struct Granted final : PermissionChecking {
    bool screenCaptureAllowed() override { return true; }
    bool accessibilityTrusted() override { return true; }
    bool promptForAccessibility() override { return true; }
};

struct NoActivity final : AwakeWhileStreaming::Activity {};

// The host as its composition root puts it together, on a main actor of its own.
struct Host {
    explicit Host(bool advertise = false) {
        auto store = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(Keychain(keys.path() / "keychain")),
                                                                KeychainTrustStorage::service("viewer-test"),
                                                                std::string(KeychainTrustStorage::account)));
        if (!store) throw std::runtime_error(store.error().description());
        engine = std::make_shared<HostEngine>(std::make_shared<Granted>(), std::move(*store));
        auto awake = std::make_shared<AwakeWhileStreaming>(
            [](std::string_view) -> std::expected<std::unique_ptr<AwakeWhileStreaming::Activity>, std::string> {
                return std::make_unique<NoActivity>();
            });
        transport = HostTransportService::make(
            main, {.identity = identity,
                   .hostName = name,
                   .deviceID = *WireID::fromBytes(identity.fingerprint.view().first(16)),
                   .advertise = advertise,
                   .awake = std::move(awake),
                   .power = HostPowerMonitor::make([] { return 0x164; }),
                   .sources = {PowerSysfs(sysfs.path()), bus.address(), 20 * millisecond, 20'000 * millisecond}});
        transport->setDelegate(media);
        std::weak_ptr<HostEngine> weakEngine = engine;
        transport->setOnSessionChange([weakEngine](std::optional<std::string> session, int count) {
            if (auto e = weakEngine.lock()) e->sessionChanged(std::move(session), count);
        });
        engine->addService(transport);
        transport->trustChanged(engine->trust().peers());
        enrollment = EnrollmentService::make(
            main, HostEnrollment(std::make_shared<SystemPairingCrypto>(), identity.fingerprint, 120), identity, name,
            "127.0.0.1", EnrollmentService::addingTo(engine), EnrollmentService::wallClockSeconds);
        main.sync([&] { engine->start(); });
    }
    ~Host() {
        main.sync([&] {
            enrollment->cancel();
            engine->stop();
        });
        // Connections report their close to the main actor, which must outlive them.
        eventually([&] {
            std::size_t open = 0;
            main.sync([&] { open = transport->connectionCount() + transport->closingCount(); });
            return open == 0;
        });
    }

    std::uint16_t sessionPort() {
        std::optional<std::uint16_t> port;
        eventually([&] {
            main.sync([&] { port = transport->port(); });
            return port.has_value();
        });
        if (!port) throw std::runtime_error("the session listener never got ready");
        return *port;
    }

    template <class T>
    std::optional<T> awaitPairing() {
        std::optional<T> found;
        eventually([&] {
            main.sync([&] {
                if (const auto* state = std::get_if<T>(&enrollment->state())) found = *state;
            });
            return found.has_value();
        });
        return found;
    }

    std::vector<TrustedPeer> peers() {
        std::vector<TrustedPeer> out;
        main.sync([&] { out = engine->trust().peers(); });
        return out;
    }

    HostStatus status() {
        HostStatus s;
        main.sync([&] { s = engine->status(); });
        return s;
    }

    std::string name = "Integration Mac";
    TestKeychain keys;
    PrivateBus bus;
    SignalSender logind{bus.address(), true};
    TemporaryFolder sysfs;
    SerialQueue main{"main"};
    LocalIdentity identity = keys.make("host");
    std::shared_ptr<ScriptedMedia> media = std::make_shared<ScriptedMedia>();
    std::shared_ptr<HostEngine> engine;
    std::shared_ptr<HostTransportService> transport;
    std::shared_ptr<EnrollmentService> enrollment;
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
        host.main.sync([&] { host.enrollment->start(300); });
        const auto showing = host.awaitPairing<EnrollmentState::Showing>();
        ASSERT_TRUE(showing);
        auto paired = viewer({"pair", "--state", state.path().string(), "--name", "Integration viewer", showing->text},
                             interruption);
        const auto waiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
        ASSERT_TRUE(waiting);
        EXPECT_EQ(waiting->deviceName, "Integration viewer");
        host.main.sync([&] { host.enrollment->decide(waiting->token, true); });
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
    host.main.sync([&] { host.enrollment->start(300); });
    const auto showing = host.awaitPairing<EnrollmentState::Showing>();
    ASSERT_TRUE(showing);
    auto paired = viewer({"pair", "--state", state.path().string(), showing->text}, interruption);
    const auto waiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(waiting);
    host.main.sync([&] { host.enrollment->decide(waiting->token, true); });
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
    ASSERT_TRUE(eventually([&] { return host.media->saw("stopSurface 1"); })) << fmt::format("{}", host.media->journal());
    EXPECT_TRUE(inOrder(host.media->journal(),
                        {"windowList", "consent testPattern for Integration viewer", "startSurface 1 testPattern",
                         "beginMedia 1", "control for Integration viewer", "inject text hi", "inject moveAbsolute 40,50",
                         "inject buttonDown left", "inject buttonUp left", "stopSurface 1"}))
        << fmt::format("{}", host.media->journal());
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
    host.main.sync([&] { host.enrollment->start(300); });
    const auto showing = host.awaitPairing<EnrollmentState::Showing>();
    ASSERT_TRUE(showing);
    auto paired = viewer({"pair", "--state", state.path().string(), showing->text}, interruption);
    const auto waiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(waiting);
    host.main.sync([&] { host.enrollment->decide(waiting->token, false); });
    const ViewerRunResult result = paired.get();
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, "quillmere-viewer: error: the host's user denied the pairing\n");
    EXPECT_TRUE(host.peers().empty());
}

} // namespace
} // namespace quillmere
