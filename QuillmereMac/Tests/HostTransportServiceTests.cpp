#include "QuillmereMac/HostService/HostTransportService.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereMac/HostService/SessionDefaults.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/LoopbackMedia.h"
#include "TestSupport/Host/PairingClient.h"
#include "Platform/Keychain/AtomicFile.h"
#include "Platform/Keychain/KeychainItemFile.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Host/TestHost.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace testing;

const std::string sessionAlpn(WireProtocol::protocolIdentifier);
constexpr std::uint64_t millisecond = TestHost::millisecond;

// The host with a loopback media side of the test's.
struct SessionHost : TestHost {
    explicit SessionHost(std::string name = "Test Mac", std::uint64_t powerIntervalNs = 20'000 * millisecond)
        : SessionHost(std::make_shared<LoopbackMedia>(), {.name = std::move(name), .powerIntervalNs = powerIntervalNs}) {}
    explicit SessionHost(TestHost::Options options) : SessionHost(std::make_shared<LoopbackMedia>(), std::move(options)) {}
    SessionHost(std::shared_ptr<LoopbackMedia> loopback, TestHost::Options options)
        : TestHost(withMedia(loopback, std::move(options))), loopback(std::move(loopback)) {}

    static TestHost::Options withMedia(std::shared_ptr<LoopbackMedia> loopback, TestHost::Options options) {
        options.media = std::move(loopback);
        return options;
    }

    std::shared_ptr<LoopbackMedia> loopback;
};

// A phone opening a session: its own identity, pinning the host.
struct SessionClient {
    SessionClient(SessionHost& host, std::uint16_t port, const LocalIdentity& identity)
        : client(TestClient::connect(port, identity, pinned(host.identity.fingerprint), host.defaults.defaults(), 5.0,
                                     sessionAlpn)) {}

    PeerRecorder& recorder() { return *client.recorder; }
    void send(ControlMessage message) { client.connection->sendControl(std::move(message)); }
    // Hello and capabilities, as a viewer opens every session.
    std::optional<Hello> open(const std::string& name) {
        if (!recorder().waitForEvent<peer::Ready>()) return std::nullopt;
        send(Hello{1, 0, PeerRole::client, WireID::zero(), WireID::zero(), name});
        send(Capabilities{codecs::h264, 1920, 1080, 60, 2, features::bit0, 1200});
        return awaitMessage<Hello>(recorder());
    }
    std::optional<msg::Bye> bye() { return awaitMessage<msg::Bye>(recorder()); }

    TestClient client;
};

TEST(HostTransportService, ATrustedClientGetsHelloCapabilitiesAndPower) {
    SessionHost host;
    const LocalIdentity phone = host.keys.make("phone");
    host.pair(phone, "Anna's iPhone", 1);
    SessionClient client(host, host.start(), phone);

    const auto hello = client.open("Anna's iPhone");
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->role, PeerRole::host);
    EXPECT_EQ(hello->name, "Test Mac");
    EXPECT_EQ(hello->deviceID, *WireID::fromBytes(host.identity.fingerprint.view().first(16)));
    const auto capabilities = awaitMessage<Capabilities>(client.recorder());
    ASSERT_TRUE(capabilities);
    EXPECT_EQ(*capabilities, SessionDefaults::hostCapabilities());
    const auto power = awaitMessage<HostPower>(client.recorder());
    ASSERT_TRUE(power);
    EXPECT_EQ(*power, (HostPower{90, true}));

    ASSERT_TRUE(eventually([&] { return host.status().activeSessionCount == 1; }));
    EXPECT_EQ(host.status().activeSession, "Anna's iPhone");
    EXPECT_EQ(host.awakeHeld.get(), 1);
}

TEST(HostTransportService, AnUntrustedClientFailsTheHandshake) {
    SessionHost host;
    const LocalIdentity stranger = host.keys.make("stranger");
    SessionClient client(host, host.start(), stranger);
    ASSERT_TRUE(client.recorder().waitForClosed());
    EXPECT_FALSE(client.recorder().readyFingerprint().has_value());
    EXPECT_EQ(client.recorder().closedReason()->kind(), PeerCloseReason::Kind::failed);
    EXPECT_EQ(host.status().activeSessionCount, 0);
}

TEST(HostTransportService, ARemovedDeviceIsSaidByeAtOnceAndRefusedNextTime) {
    // A removal that cannot be saved, or not yet, holds for this run all the same.
    std::optional<ChildProcess> holder;
    const auto spoilRecord = [](SessionHost& host) {
        // Others could change it: the keychain refuses to replace it.
        std::filesystem::permissions(host.trustRecord(), std::filesystem::perms::all);
    };
    const auto holdLock = [&](SessionHost& host) {
        holder = ChildProcess::holdingLock(host.keys.path() / "keychain" / ".lock");
    };
    // What the record holds, however others may change it.
    const auto stored = [](SessionHost& host) {
        const auto record = KeychainItemFile::decode(viewOf(AtomicFile::read(host.trustRecord()).value()));
        return TrustStore::decode(viewOf(record.value().data)).value().size();
    };
    struct Case {
        const char* name;
        std::function<void(SessionHost&)> before;
        // After the click, before the phone tries again.
        std::function<void(SessionHost&)> after;
        bool saved;
    };
    const Case cases[] = {
        {"saved", {}, {}, true},
        {"record others may change", spoilRecord, {}, false},
        {"lock held by a host that does not answer", holdLock,
         [&](SessionHost& host) {
             // The main actor answers while the save waits, and fails.
             const auto longest = host.longestMainWait([&] { return host.status().lastError.has_value(); });
             std::printf("main actor answered within %lld ms while the save waited\n",
                         static_cast<long long>(longest.count()));
             EXPECT_LT(longest.count(), 100);
             EXPECT_TRUE(host.status().lastError->find("is held by another Quillmere that does not answer; nothing "
                                                       "was changed. It will be trusted again") != std::string::npos)
                 << *host.status().lastError;
             // Let go, with no file changed: saved on the next try.
             holder.reset();
             EXPECT_TRUE(eventually([&] { return !host.status().lastError; }));
         },
         true},
        {"keychain folder moved aside and back", holdLock,
         [](SessionHost& host) {
             // Read as nothing stored while it is away, as the folder's watch would.
             const auto folder = host.keys.path() / "keychain", aside = host.keys.path() / "aside";
             for (const auto& [from, to, listed] : {std::tuple{folder, aside, 0u}, std::tuple{aside, folder, 1u}}) {
                 std::filesystem::rename(from, to);
                 host.main.sync([&] { host.engine->reloadTrust(); });
                 EXPECT_TRUE(eventually([&] { return host.status().pairedDevices.size() == listed; }));
             }
         },
         false},
    };
    for (const Case& c : cases) {
        SessionHost host({.lockWait = std::chrono::seconds(1)});
        const LocalIdentity anna = host.keys.make("anna");
        const LocalIdentity ben = host.keys.make("ben");
        const TrustedPeer annaPeer = host.pair(anna, "Anna's iPhone", 1);
        const TrustedPeer benPeer = host.pair(ben, "Ben's iPhone", 2);
        const std::uint16_t port = host.start();
        SessionClient annaClient(host, port, anna);
        SessionClient benClient(host, port, ben);
        ASSERT_TRUE(annaClient.open("Anna's iPhone"));
        ASSERT_TRUE(benClient.open("Ben's iPhone"));
        ASSERT_TRUE(eventually([&] { return host.status().activeSessionCount == 2; }));
        if (c.before) c.before(host);

        const auto clicked = std::chrono::steady_clock::now();
        host.main.sync([&] { host.engine->removeDevice(annaPeer.deviceID); });
        const auto bye = annaClient.bye();
        ASSERT_TRUE(bye) << c.name;
        const auto byeAfter = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - clicked);
        std::printf("%s: bye %lld ms after the click\n", c.name, static_cast<long long>(byeAfter.count()));
        EXPECT_LT(byeAfter.count(), 500) << c.name;
        EXPECT_EQ(bye->reason, ByeReason::revoked);
        EXPECT_TRUE(annaClient.recorder().waitForClosed());
        ASSERT_TRUE(eventually([&] { return host.status().activeSessionCount == 1; }));
        EXPECT_EQ(host.status().activeSession, "Ben's iPhone");
        EXPECT_TRUE(received<msg::Bye>(benClient.recorder()).empty());
        if (c.after) c.after(host);
        EXPECT_TRUE(eventually([&] { return host.status().lastError.has_value() == !c.saved; })) << c.name;
        EXPECT_EQ(host.status().pairedDevices, std::vector{benPeer}) << c.name;
        EXPECT_TRUE(eventually([&] { return stored(host) == (c.saved ? 1u : 2u); })) << c.name;

        SessionClient again(host, port, anna);
        ASSERT_TRUE(again.recorder().waitForClosed());
        EXPECT_FALSE(again.recorder().readyFingerprint().has_value()) << c.name;
    }
}

TEST(HostTransportService, StopSaysShutdownToEveryConnectionAndEachStillCloses) {
    LogCapture log;
    SessionHost host;
    const LocalIdentity anna = host.keys.make("anna");
    const LocalIdentity ben = host.keys.make("ben");
    host.pair(anna, "Anna's iPhone", 1);
    host.pair(ben, "Ben's iPhone", 2);
    const std::uint16_t port = host.start();
    SessionClient annaClient(host, port, anna);
    SessionClient benClient(host, port, ben);
    ASSERT_TRUE(annaClient.open("Anna's iPhone"));
    ASSERT_TRUE(benClient.open("Ben's iPhone"));
    ASSERT_TRUE(eventually([&] { return host.awakeHeld.get() == 1; }));

    host.stop();
    // The display may sleep again at once, before any bye is out.
    EXPECT_EQ(host.awakeHeld.get(), 0);
    EXPECT_EQ(host.status().phase, HostStatus::Phase::stopped);
    for (SessionClient* client : {&annaClient, &benClient}) {
        const auto bye = client->bye();
        ASSERT_TRUE(bye);
        EXPECT_EQ(bye->reason, ByeReason::shutdown);
        EXPECT_TRUE(client->recorder().waitForClosed());
    }
    // Each connection ran its own close sequence after the service let go of it.
    EXPECT_TRUE(eventually([&] {
        const auto lines = log.lines("transport");
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.starts_with("connection closed: "); }) == 2;
    }));
    EXPECT_EQ(host.status().activeSessionCount, 0);
}

TEST(HostTransportService, SleepAndScreenLockSayByeIdle) {
    SessionHost host;
    const LocalIdentity anna = host.keys.make("anna");
    host.pair(anna, "Anna's iPhone", 1);
    const std::uint16_t port = host.start();
    {
        SessionClient client(host, port, anna);
        ASSERT_TRUE(client.open("Anna's iPhone"));
        host.logind.prepareForSleep(true);
        const auto bye = client.bye();
        ASSERT_TRUE(bye);
        EXPECT_EQ(bye->reason, ByeReason::idle);
    }
    SessionClient client(host, port, anna);
    ASSERT_TRUE(client.open("Anna's iPhone"));
    host.logind.lock();
    const auto bye = client.bye();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, ByeReason::idle);
}

TEST(HostTransportService, ACriticalThermalZoneReachesEveryStreamingSession) {
    SessionHost host;
    const LocalIdentity anna = host.keys.make("anna");
    host.pair(anna, "Anna's iPhone", 1);
    SessionClient client(host, host.start(), anna);
    ASSERT_TRUE(client.open("Anna's iPhone"));

    // A test-pattern surface, streaming at the start rate of 20000 kbit/s.
    client.send(msg::CaptureSelect{1, 0xFFFFFFF0});
    const auto config = awaitMessage<StreamConfig>(client.recorder());
    ASSERT_TRUE(config);
    client.send(msg::ConfigAck{1, config->configGeneration});
    client.send(msg::StartStream{1});
    ASSERT_TRUE(eventually([&] { return host.loopback->saw("beginMedia 1"); }));

    host.setTemperature(106000);
    // The critical ceiling is 35 % of 40000 kbit/s.
    EXPECT_TRUE(eventually([&] { return host.loopback->saw("setBitrate 1 14000"); }));
}

TEST(HostTransportService, AnUnknownPowerLevelIsNotSentAndHighReadingsAreClamped) {
    SessionHost host("Test Mac", 50 * millisecond);
    host.powerReading.set(HostPowerMonitor::unknown); // no battery
    const LocalIdentity anna = host.keys.make("anna");
    host.pair(anna, "Anna's iPhone", 1);
    SessionClient client(host, host.start(), anna);
    ASSERT_TRUE(client.open("Anna's iPhone"));
    // The session stays open and answers; it got no power message.
    client.send(msg::Ping{7});
    ASSERT_TRUE(awaitMessage<msg::Pong>(client.recorder()));
    EXPECT_TRUE(received<HostPower>(client.recorder()).empty());

    host.powerReading.set(0x100 | 180); // a broken reading above 100, on external power
    const auto power = awaitMessage<HostPower>(client.recorder());
    ASSERT_TRUE(power);
    EXPECT_EQ(*power, (HostPower{100, true}));
    EXPECT_FALSE(client.recorder().closedReason().has_value());
}

TEST(HostTransportService, ALongHostNameIsCutForTheHello) {
    // 30 two-byte letters and a few more bytes: 67 bytes in all.
    std::string name;
    for (int i = 0; i < 30; ++i) name += "\xC3\xA9";
    name += "-Mac-7";
    ASSERT_GT(name.size(), 64u);
    SessionHost host(name);
    const LocalIdentity anna = host.keys.make("anna");
    host.pair(anna, "Anna's iPhone", 1);
    SessionClient client(host, host.start(), anna);
    const auto hello = client.open("Anna's iPhone");
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->name, truncatedUTF8(name, 64));
    EXPECT_LE(hello->name.size(), 64u);
}

TEST(HostTransportService, APairedDeviceIsServedAcrossAnEngineRestart) {
    SessionHost host;
    const LocalIdentity anna = host.keys.make("anna");
    host.pair(anna, "Anna's iPhone", 1);
    host.start();
    host.stop();
    // A new engine and service over the same keychain, as at the next launch.
    host.compose();
    SessionClient client(host, host.start(), anna);
    EXPECT_TRUE(client.open("Anna's iPhone"));
    EXPECT_EQ(host.status().pairedDevices.size(), 1u);
}

// Sessions come and go at once on their own queues while the main actor
// counts them from what each connection reported (run it under
// ThreadSanitizer to see that the count never reads a session itself).
TEST(HostTransportService, SessionsOpeningAndClosingTogetherAreCountedRight) {
    SessionHost host;
    const LocalIdentity anna = host.keys.make("anna");
    const LocalIdentity ben = host.keys.make("ben");
    host.pair(anna, "Anna's iPhone", 1);
    host.pair(ben, "Ben's iPhone", 2);
    const std::uint16_t port = host.start();
    std::vector<std::unique_ptr<SessionClient>> clients;
    // Two connections of the same device are two sessions.
    for (const LocalIdentity* identity : {&anna, &anna, &ben, &ben}) {
        clients.push_back(std::make_unique<SessionClient>(host, port, *identity));
    }
    for (auto& client : clients) ASSERT_TRUE(client->recorder().waitForEvent<peer::Ready>());
    for (auto& client : clients) client->send(Hello{1, 0, PeerRole::client, WireID::zero(), WireID::zero(), "phone"});
    for (auto& client : clients) ASSERT_TRUE(awaitMessage<Hello>(client->recorder()));
    ASSERT_TRUE(eventually([&] { return host.status().activeSessionCount == 4; }));
    EXPECT_EQ(host.awakeHeld.get(), 1);

    for (auto& client : clients) client->send(msg::Bye{ByeReason::normal});
    EXPECT_TRUE(eventually([&] { return host.status().activeSessionCount == 0; }));
    EXPECT_TRUE(eventually([&] { return host.awakeHeld.get() == 0; }));
    std::size_t connections = 1;
    EXPECT_TRUE(eventually([&] {
        host.main.sync([&] { connections = host.transport->connectionCount(); });
        return connections == 0;
    }));
}

TEST(HostTransportService, ADevicePairedThroughEnrollmentOpensSessionsAcrossARestart) {
    SessionHost host;
    const std::uint16_t port = host.start();
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.approvePairing());
    const auto result = phone.result();
    ASSERT_TRUE(result);
    ASSERT_EQ(result->outcome, EnrollmentOutcome::approved);

    // The running service lets the new device in at once...
    {
        SessionClient session(host, port, phone.identity);
        EXPECT_TRUE(session.open("Anna's iPhone"));
    }
    // ...and so does the next launch, from the keychain.
    host.stop();
    host.compose();
    SessionClient session(host, host.start(), phone.identity);
    EXPECT_TRUE(session.open("Anna's iPhone"));
    ASSERT_EQ(host.status().pairedDevices.size(), 1u);
    EXPECT_EQ(host.status().pairedDevices[0].fingerprint, phone.identity.fingerprint);
}

TEST(HostTransportService, ListenerEventsAfterStopAreIgnored) {
    SessionHost host;
    std::vector<std::uint16_t> ports;
    // The listener's ready event can only reach the main actor after this task.
    host.main.sync([&] {
        host.transport->setOnListening([&](std::uint16_t port) { ports.push_back(port); });
        host.engine->start();
        host.engine->stop();
    });
    // The listener's stop waits on its queue, so whatever it reported is on
    // the main actor already and runs before this.
    std::optional<std::uint16_t> port;
    host.main.sync([&] { port = host.transport->port(); });
    EXPECT_FALSE(port);
    EXPECT_TRUE(ports.empty());

    // A new start listens again.
    host.start();
    EXPECT_EQ(ports.size(), 1u);
}

} // namespace
} // namespace quillmere
