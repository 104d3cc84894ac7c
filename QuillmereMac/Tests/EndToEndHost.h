#pragma once

// The host as the composition root puts it together, for end-to-end tests:
// engine over a keychain trust store, the transport service with the media
// pipeline as its media side, the consent center approving paired devices,
// the enrollment service for pairing through an invitation. Test-pattern
// sources are wrapped so that the test knows which number each capture time
// shows.

#include "Platform/Keychain/Tests/TemporaryFolder.h"
#include "Platform/Power/Tests/PrivateBus.h"
#include "QuillmereMac/Consent/ConsentCenter.h"
#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Enrollment/EnrollmentService.h"
#include "QuillmereMac/HostService/HostTransportService.h"
#include "QuillmereMac/Media/MediaPipeline.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"
#include "QuillmereMac/Tests/HostServiceTestSupport.h"
#include "QuillmereMac/Tests/PairingClient.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"

#include <map>

namespace quillmere::testing {

// A test-pattern source that writes down the number each frame shows.
class NumberedPatternSource final : public CaptureSource {
public:
    using Numbers = LockedBox<std::map<std::uint64_t, std::uint64_t>>;

    NumberedPatternSource(std::shared_ptr<TestPatternSource> inner, std::shared_ptr<Numbers> numbers)
        : inner_(std::move(inner)), numbers_(std::move(numbers)) {}

    const std::string& label() const override { return inner_->label(); }
    std::expected<void, CaptureStartError> start(CaptureEventHandler handler) override {
        return inner_->start([numbers = numbers_, handler = std::move(handler)](CaptureEvent event) {
            if (const CapturedFrame* frame = event.capturedFrame())
                numbers->withLock([&](auto& map) { map[frame->captureTimeNs] = frame->sequence; });
            handler(std::move(event));
        });
    }
    void stop() override { inner_->stop(); }

private:
    std::shared_ptr<TestPatternSource> inner_;
    std::shared_ptr<Numbers> numbers_;
};

class EndToEndHost {
public:
    struct Granted final : PermissionChecking {
        bool screenCaptureAllowed() override { return true; }
        bool accessibilityTrusted() override { return true; }
        bool promptForAccessibility() override { return true; }
    };

    // displayName: the X display whose windows and displays are offered;
    // adjust: changes to the media pipeline's services before it is made.
    explicit EndToEndHost(const std::string& displayName,
                          const std::function<void(MediaPipeline::Services&)>& adjust = {}) {
        auto store = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(Keychain(keys.path() / "keychain")),
                                                                KeychainTrustStorage::service("e2e"),
                                                                std::string(KeychainTrustStorage::account)));
        if (!store) throw std::runtime_error(store.error().description());
        engine = std::make_shared<HostEngine>(std::make_shared<Granted>(), std::move(*store));
        main.sync([&] {
            consent = ConsentCenter::make(main);
            consent->autoApproveSessions = [] { return true; };
        });

        auto catalog = std::make_shared<WindowCatalog>(displayName);
        const DisplayQueries displays = DisplayQueries::x11(displayName);
        auto factory = std::make_shared<CaptureSourceFactory>(catalog, displays);
        MediaPipeline::Services services;
        services.catalog = catalog;
        services.consent = consent;
        services.mainActor = &main;
        services.testPatternEnabled = [] { return true; };
        services.displays = displays;
        services.makeSource = [factory, numbers = numbers](CaptureChoice choice,
                                                           RequestedStream requested) -> std::shared_ptr<CaptureSource> {
            auto source = factory->makeSource(choice, requested);
            if (auto pattern = std::dynamic_pointer_cast<TestPatternSource>(source))
                return std::make_shared<NumberedPatternSource>(std::move(pattern), numbers);
            return source;
        };
        services.pipelines.normalRateControl = [] { return false; };
        if (adjust) adjust(services);
        media = MediaPipeline::make(std::move(services));

        auto awake = std::make_shared<AwakeWhileStreaming>(
            [](std::string_view) -> std::expected<std::unique_ptr<AwakeWhileStreaming::Activity>, std::string> {
                return std::make_unique<AwakeWhileStreaming::Activity>();
            });
        auto power = HostPowerMonitor::make([] { return HostPowerMonitor::Reading{0x15A}; });
        HostTransportService::Sources sources{PowerSysfs(sysfs.path()), bus.address(), 1'000'000'000ULL,
                                              20'000'000'000ULL};
        transport = HostTransportService::make(main, std::string(HostTransportService::serviceName), identity,
                                               std::make_shared<TrustSnapshot>(), "Test Mac",
                                               *WireID::fromBytes(identity.fingerprint.view().first(16)), false,
                                               std::move(awake), std::move(power), std::move(sources));
        transport->setDelegate(media);
        engine->addService(transport);
        transport->trustChanged(engine->trust().peers());
    }

    ~EndToEndHost() {
        main.sync([&] { engine->stop(); });
        if (enrollment) main.sync([&] { enrollment->cancel(); });
    }

    std::uint16_t start() {
        main.sync([&] { engine->start(); });
        std::optional<std::uint16_t> port;
        eventually([&] {
            main.sync([&] { port = transport->port(); });
            return port.has_value();
        });
        if (!port) throw std::runtime_error("the session listener never got ready");
        return *port;
    }

    // Shows an invitation, as the pairing window does; returns its text.
    std::string showInvitation() {
        enrollment = EnrollmentService::make(
            main, HostEnrollment(std::make_shared<SystemPairingCrypto>(), identity.fingerprint, 120), identity,
            "Test Mac", "127.0.0.1", EnrollmentService::addingTo(engine), EnrollmentService::wallClockSeconds);
        std::optional<std::string> text;
        main.sync([&] { enrollment->start(EnrollmentService::invitationLifetimeSeconds); });
        eventually([&] {
            main.sync([&] {
                if (const auto* showing = std::get_if<EnrollmentState::Showing>(&enrollment->state())) text = showing->text;
            });
            return text.has_value();
        });
        if (!text) throw std::runtime_error("no invitation");
        return *text;
    }

    // Approves the device that asked to pair, as its user would; false when
    // none asked in time.
    bool approvePairing(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::optional<std::uint64_t> token;
        eventually(
            [&] {
                main.sync([&] {
                    if (const auto* awaiting = std::get_if<EnrollmentState::AwaitingApproval>(&enrollment->state()))
                        token = awaiting->token;
                });
                return token.has_value();
            },
            limit);
        if (!token) return false;
        main.sync([&] { enrollment->decide(*token, true); });
        return true;
    }

    // Pairs a new device through an invitation, as the pairing window and a
    // phone would; returns the device's identity.
    LocalIdentity pairThroughInvitation() {
        const std::string text = showInvitation();
        PairingClient phone(keys, defaults.defaults(), "phone", text);
        if (!phone.ready() || !phone.hello() || !phone.request()) throw std::runtime_error("pairing request failed");
        if (!approvePairing()) throw std::runtime_error("no approval asked");
        const auto result = phone.result();
        if (!result || result->outcome != EnrollmentOutcome::approved) throw std::runtime_error("pairing refused");
        return phone.identity;
    }

    // The number the test pattern showed at a capture time.
    std::optional<std::uint64_t> numberAt(std::uint64_t captureTimeNs) const {
        return numbers->withLock([&](auto& map) -> std::optional<std::uint64_t> {
            const auto found = map.find(captureTimeNs);
            if (found == map.end()) return std::nullopt;
            return found->second;
        });
    }

    TestKeychain keys;
    TestDefaults defaults;
    // logind's signals are watched on a bus of the test's own, where nobody
    // sends any: a real sleep of this machine plays no part.
    PrivateBus bus;
    TemporaryFolder sysfs;
    SerialQueue main{"main"};
    LocalIdentity identity = keys.make("host");
    std::shared_ptr<NumberedPatternSource::Numbers> numbers = std::make_shared<NumberedPatternSource::Numbers>();
    std::shared_ptr<HostEngine> engine;
    std::shared_ptr<ConsentCenter> consent;
    std::shared_ptr<MediaPipeline> media;
    std::shared_ptr<HostTransportService> transport;
    std::shared_ptr<EnrollmentService> enrollment;
};

} // namespace quillmere::testing
