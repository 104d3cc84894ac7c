#include "TestSupport/Host/TestHost.h"

#include "Platform/SystemInfo/ProcessMemory.h"
#include "QuillmereMac/Catalog/WindowCatalog.h"
#include "QuillmereMac/App/DesktopEnvironmentX11.h"
#include "QuillmereMac/Desktop/PipelineBackends.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "TestSupport/Host/PairingClient.h"
#include "TestSupport/Host/PermissionsStub.h"
#include "TestSupport/Host/RefusingMediaDelegate.h"

#include <stdexcept>
#include <thread>

namespace quillmere::testing {

namespace {

struct HeldActivity final : AwakeWhileStreaming::Activity {
    explicit HeldActivity(LockedBox<int>& held) : held(held) { held.withLock([](int& n) { ++n; }); }
    ~HeldActivity() override { held.withLock([](int& n) { --n; }); }
    LockedBox<int>& held;
};

// As the program's main does, and as early: the bound is only safe to set
// before any thread allocates.
[[maybe_unused]] const bool arenasBounded = [] {
    ProcessMemory::configureForHost();
    return true;
}();

} // namespace

TestHost::TestHost(Options given) : options(std::move(given)) {
    // One thermal zone, at 45 degrees, critical from 105.
    sysfs.writeLine("thermal/thermal_zone0/trip_point_0_type", "critical");
    sysfs.writeLine("thermal/thermal_zone0/trip_point_0_temp", "105000");
    setTemperature(45000);
    media = options.media;
    desktop = options.desktop;
    if (!media && options.pipelineDisplay) makeMediaPipeline(*options.pipelineDisplay);
    if (!media) media = std::make_shared<RefusingMediaDelegate>();
    compose();
}

TestHost::~TestHost() {
    main.sync([&] {
        if (enrollment) enrollment->cancel();
        engine->stop();
    });
    drain();
}

void TestHost::makeMediaPipeline(const std::string& display) {
    if (!desktop) desktop = std::make_shared<DesktopEnvironmentX11>(display);
    main.sync([&] {
        consent = ConsentCenter::make(main);
        consent->autoApproveSessions = [] { return true; };
    });
    MediaPipeline::Services services;
    services.catalog = std::make_shared<WindowCatalog>(display, WindowCatalog::currentProcessID(),
                                                       WindowCatalog::defaultBundleID, desktop->contentFetcher());
    services.consent = consent;
    services.mainActor = &main;
    services.testPatternEnabled = [] { return true; };
    PipelineBackends::fill(services, desktop);
    services.makeSource = [made = std::move(services.makeSource),
                           numbers = numbers](CaptureChoice choice,
                                              RequestedStream requested) -> std::shared_ptr<CaptureSource> {
        auto source = made(choice, requested);
        if (auto pattern = std::dynamic_pointer_cast<TestPatternSource>(source))
            return std::make_shared<NumberedPatternSource>(std::move(pattern), numbers);
        return source;
    };
    // The host's own input, clipboard, raising and displays stay out of tests
    // of the session: control and clipboard requests are refused.
    services.poster = nullptr;
    services.pasteboard = nullptr;
    services.raiser = nullptr;
    services.textSize = nullptr;
    services.virtualDisplay = nullptr;
    services.pipelines.normalRateControl = [] { return false; };
    if (options.adjustPipeline) options.adjustPipeline(services);
    pipeline = MediaPipeline::make(std::move(services));
    media = pipeline;
}

void TestHost::compose() {
    drain();
    if (enrollment) main.sync([&] { enrollment->cancel(); });
    engine = openEngine();

    transport = HostTransportService::make(
        main, {.identity = identity,
               .trust = engine->trusted(),
               .hostName = options.name,
               .deviceID = *WireID::fromBytes(identity.fingerprint.view().first(WireID::byteCount)),
               .advertise = options.advertise,
               .awake = std::make_shared<AwakeWhileStreaming>(
                   [this](std::string_view) -> std::expected<std::unique_ptr<AwakeWhileStreaming::Activity>, std::string> {
                       return std::make_unique<HeldActivity>(awakeHeld);
                   }),
               .power = HostPowerMonitor::make([this] { return powerReading.get(); }),
               .sources = {PowerSysfs(sysfs.path()), bus.address(), 20 * millisecond, options.powerIntervalNs},
               .idleTimeoutNs = options.idleTimeoutNs,
               .helloLimitNs = options.helloLimitNs});
    transport->setDelegate(media);
    std::weak_ptr<HostEngine> weakEngine = engine;
    transport->setOnSessionChange([weakEngine](std::optional<std::string> name, int count) {
        if (auto e = weakEngine.lock()) e->sessionChanged(std::move(name), count);
    });
    engine->addService(transport);
    transport->trustChanged(engine->trustedPeers());

    enrollment = EnrollmentService::make(
        main, HostEnrollment(std::make_shared<SystemPairingCrypto>(), identity.fingerprint, options.approvalTimeoutSeconds),
        identity, options.name, "127.0.0.1",
        options.addDevice ? options.addDevice : EnrollmentService::addingTo(engine),
        options.now ? options.now : EnrollmentService::wallClockSeconds);
    enrollment->idleTimeoutNs = options.idleTimeoutNs;
    enrollment->helloLimitNs = options.helloLimitNs;
}

std::shared_ptr<HostEngine> TestHost::engineOver(const TestKeychain& keychain, Executor& main,
                                                 std::chrono::milliseconds lockWait) {
    const KeychainTrustStorage storage(Keychain(keychain.path() / "keychain", lockWait));
    const auto service = KeychainTrustStorage::service("test");
    const std::string account(KeychainTrustStorage::account);
    auto store = TrustStore::open(AnyTrustStorage::keychain(storage, service, account));
    if (!store) throw std::runtime_error(store.error().description());
    return HostEngine::make(std::make_shared<PermissionsStub>(), std::move(*store), main,
                            {.handshakeReads = AnyTrustStorage::keychain(storage, service, account)});
}

std::chrono::milliseconds TestHost::longestMainWait(const std::function<bool()>& done) {
    std::chrono::steady_clock::duration longest{};
    eventually([&] {
        const auto asked = std::chrono::steady_clock::now();
        main.sync([] {});
        longest = std::max(longest, std::chrono::steady_clock::now() - asked);
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return false;
    });
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

std::filesystem::path TestHost::trustRecord() const {
    return KeychainTrustStorage(Keychain(keys.path() / "keychain"))
        .fileOf(KeychainTrustStorage::service("test"), KeychainTrustStorage::account);
}

std::uint16_t TestHost::start() {
    main.sync([&] { engine->start(); });
    return sessionPort();
}

void TestHost::stop() {
    main.sync([&] { engine->stop(); });
}

void TestHost::drain() {
    if (!transport) return;
    eventually([&] {
        std::size_t open = 0;
        main.sync([&] { open = transport->connectionCount() + transport->closingCount(); });
        return open == 0;
    });
}

std::uint16_t TestHost::sessionPort() {
    std::optional<std::uint16_t> port;
    eventually([&] {
        main.sync([&] { port = transport->port(); });
        return port.has_value();
    });
    if (!port) throw std::runtime_error("the session listener never got ready");
    return *port;
}

TrustedPeer TestHost::pair(const LocalIdentity& client, const std::string& name, std::uint8_t idByte) {
    std::array<std::uint8_t, 16> id{};
    id.fill(idByte);
    TrustedPeer peer(WireID(id), client.fingerprint, name, PeerRole::client, 1'700'000'000);
    pair(peer);
    return peer;
}

void TestHost::pair(const TrustedPeer& peer) {
    const auto saved = std::make_shared<LockedBox<std::optional<bool>>>();
    main.sync([&] { engine->addDevice(peer, [saved](const auto& added) { saved->set(added.has_value()); }); });
    if (!eventually([&] { return saved->get().has_value(); }) || !*saved->get()) throw std::runtime_error("could not pair");
}

HostStatus TestHost::status() {
    HostStatus s;
    main.sync([&] { s = engine->status(); });
    return s;
}

std::vector<TrustedPeer> TestHost::peers() {
    std::vector<TrustedPeer> out;
    main.sync([&] { out = engine->trustedPeers(); });
    return out;
}

EnrollmentService::State TestHost::pairingState() {
    EnrollmentService::State state;
    main.sync([&] { state = enrollment->state(); });
    return state;
}

std::string TestHost::showInvitation(std::uint32_t lifetimeSeconds) {
    main.sync([&] { enrollment->start(lifetimeSeconds); });
    const auto showing = awaitPairing<EnrollmentState::Showing>();
    if (!showing) throw std::runtime_error("no invitation");
    return showing->text;
}

void TestHost::decide(std::uint64_t token, bool approve) {
    main.sync([&] { enrollment->decide(token, approve); });
}

bool TestHost::approvePairing(std::chrono::milliseconds limit) {
    const auto awaiting = awaitPairing<EnrollmentState::AwaitingApproval>(limit);
    if (!awaiting) return false;
    decide(awaiting->token, true);
    return true;
}

LocalIdentity TestHost::pairThroughInvitation() {
    const std::string text = showInvitation();
    PairingClient phone(keys, defaults.defaults(), "phone", text);
    if (!phone.ready() || !phone.hello() || !phone.request()) throw std::runtime_error("pairing request failed");
    if (!approvePairing()) throw std::runtime_error("no approval asked");
    const auto result = phone.result();
    if (!result || result->outcome != EnrollmentOutcome::approved) throw std::runtime_error("pairing refused");
    return phone.identity;
}

void TestHost::setTemperature(int milliCelsius) {
    sysfs.writeLine("thermal/thermal_zone0/temp", std::to_string(milliCelsius));
}

std::optional<std::uint64_t> TestHost::numberAt(std::uint64_t captureTimeNs) const {
    return numbers->withLock([&](auto& map) -> std::optional<std::uint64_t> {
        const auto found = map.find(captureTimeNs);
        if (found == map.end()) return std::nullopt;
        return found->second;
    });
}

} // namespace quillmere::testing
