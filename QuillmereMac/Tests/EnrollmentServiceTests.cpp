#include "QuillmereMac/Enrollment/EnrollmentService.h"

#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Tests/HostServiceTestSupport.h"
#include "QuillmereMac/Tests/PairingClient.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using namespace testing;
using State = EnrollmentService::State;

struct Granted final : PermissionChecking {
    bool screenCaptureAllowed() override { return true; }
    bool accessibilityTrusted() override { return true; }
    bool promptForAccessibility() override { return true; }
};

// The host side: identity, engine over a keychain trust store, and the
// enrollment service on a main actor of its own.
struct PairingHost {
    TestKeychain keys;
    TestDefaults defaults;
    SerialQueue main{"main"};
    LocalIdentity identity = keys.make("host");
    std::shared_ptr<HostEngine> engine = openEngine();
    std::shared_ptr<EnrollmentService> service;

    explicit PairingHost(std::uint64_t approvalTimeoutSeconds = EnrollmentService::approvalTimeoutSeconds,
                         EnrollmentService::AddDevice addDevice = {}, EnrollmentService::Now now = {}) {
        HostEnrollment enrollment(std::make_shared<SystemPairingCrypto>(), identity.fingerprint,
                                  approvalTimeoutSeconds);
        service = EnrollmentService::make(main, std::move(enrollment), identity, "Test Mac", "127.0.0.1",
                                          addDevice ? std::move(addDevice) : EnrollmentService::addingTo(engine),
                                          now ? std::move(now) : EnrollmentService::wallClockSeconds);
    }
    ~PairingHost() {
        main.sync([&] { service->cancel(); });
    }

    std::shared_ptr<HostEngine> openEngine() {
        auto store = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(Keychain(keys.path() / "keychain")),
                                                                KeychainTrustStorage::service("test"),
                                                                std::string(KeychainTrustStorage::account)));
        if (!store) throw std::runtime_error(store.error().description());
        return std::make_shared<HostEngine>(std::make_shared<Granted>(), std::move(*store));
    }

    State state() {
        State s;
        main.sync([&] { s = service->state(); });
        return s;
    }
    template <class T>
    std::optional<T> awaitState(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::optional<T> found;
        eventually(
            [&] {
                const State s = state();
                if (const T* t = std::get_if<T>(&s)) found = *t;
                return found.has_value();
            },
            limit);
        return found;
    }
    std::string finishedMessage() {
        const auto finished = awaitState<EnrollmentState::Finished>();
        return finished ? finished->message : "(not finished)";
    }

    // Starts pairing and returns the invitation text once it shows.
    std::string show(std::uint32_t lifetimeSeconds = EnrollmentService::invitationLifetimeSeconds) {
        main.sync([&] { service->start(lifetimeSeconds); });
        const auto showing = awaitState<EnrollmentState::Showing>();
        if (!showing) throw std::runtime_error("no invitation");
        return showing->text;
    }
    void decide(std::uint64_t token, bool approve) {
        main.sync([&] { service->decide(token, approve); });
    }
};

TEST(EnrollmentService, ARealPairingSavesTheDeviceForGood) {
    PairingHost host;
    const std::string text = host.show();
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", text);
    ASSERT_TRUE(phone.ready());

    const auto hostHello = phone.hello();
    ASSERT_TRUE(hostHello);
    EXPECT_EQ(hostHello->role, PeerRole::host);
    EXPECT_EQ(hostHello->name, "Test Mac");
    EXPECT_EQ(hostHello->deviceID, *WireID::fromBytes(host.identity.fingerprint.view().first(16)));
    EXPECT_EQ(hostHello->sessionNonce, hostHello->deviceID);

    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(awaitMessage<msg::EnrollPending>(phone.recorder()));
    const auto awaiting = host.awaitState<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(awaiting);
    EXPECT_EQ(awaiting->deviceName, "Anna's iPhone");

    host.decide(awaiting->token + 1, true); // not the pending request: nothing
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::AwaitingApproval>(host.state()));
    host.decide(awaiting->token, true);

    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::approved);
    const auto& paired = phone.enrollment->handle(*result, hostHello->deviceID, EnrollmentService::wallClockSeconds());
    ASSERT_TRUE(std::holds_alternative<ClientEnrollment::Paired>(paired));
    EXPECT_EQ(host.finishedMessage(), "Anna's iPhone is paired.");
    EXPECT_TRUE(phone.recorder().waitForClosed());

    // In the engine now, and in a new engine over the same keychain.
    const auto expectPaired = [&](const HostEngine& engine) {
        const auto peer = engine.trust().peer(phone.identity.fingerprint);
        ASSERT_TRUE(peer);
        EXPECT_EQ(peer->deviceID, WireID(phone.deviceID));
        EXPECT_EQ(peer->name, "Anna's iPhone");
    };
    host.main.sync([&] { expectPaired(*host.engine); });
    host.main.sync([&] { expectPaired(*host.openEngine()); });
}

TEST(EnrollmentService, TheQRCodeReadsBackAsTheInvitation) {
    PairingHost host;
    const std::string text = host.show();
    const auto image = EnrollmentService::qrCodeImage(text, 8);
    ASSERT_TRUE(image);
    EXPECT_EQ(decodeQRCode(*image), text);
}

TEST(EnrollmentService, TheFifthWrongProofEndsPairing) {
    PairingHost host;
    const std::string text = host.show();
    for (int attempt = 1; attempt <= HostEnrollment::maxWrongProofs; ++attempt) {
        PairingClient phone(host.keys, host.defaults.defaults(), "phone" + std::to_string(attempt), text);
        ASSERT_TRUE(phone.ready());
        ASSERT_TRUE(phone.hello());
        phone.wrongRequest();
        const auto result = phone.result();
        ASSERT_TRUE(result) << "attempt " << attempt;
        EXPECT_EQ(result->outcome, EnrollmentOutcome::invalidProof);
        EXPECT_TRUE(phone.recorder().waitForClosed());
        if (attempt < HostEnrollment::maxWrongProofs) {
            // The code stays on screen for another try.
            ASSERT_TRUE(eventually([&] { return std::holds_alternative<EnrollmentState::Showing>(host.state()); }));
        }
    }
    EXPECT_EQ(host.finishedMessage(), "Pairing failed. Show a new code to try again.");
}

TEST(EnrollmentService, AnUnusedCodeExpires) {
    PairingHost host;
    host.show(1);
    EXPECT_EQ(host.finishedMessage(), "The pairing code expired.");
}

// The timer runs on the steady clock, the expiry on the wall clock: when the
// wall clock has not got there yet (it was set back meanwhile), the code
// must still expire once it does, not stay on screen for good.
TEST(EnrollmentService, ACodeExpiresByTheWallClockEvenWhenTheTimerComesEarly) {
    LockedBox<std::uint64_t> wall{1'800'000'000};
    PairingHost host(EnrollmentService::approvalTimeoutSeconds, {}, [&wall] { return wall.get(); });
    host.show(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.state()));
    wall.set(1'800'000'001);
    EXPECT_EQ(host.finishedMessage(), "The pairing code expired.");
}

TEST(EnrollmentService, AnUnansweredApprovalExpires) {
    PairingHost host(1);
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.show());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.awaitState<EnrollmentState::AwaitingApproval>());
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::expired);
    EXPECT_EQ(host.finishedMessage(), "The approval expired.");
    host.main.sync([&] { EXPECT_TRUE(host.engine->trust().peers().empty()); });
}

TEST(EnrollmentService, CancellingTellsTheWaitingDeviceFirst) {
    PairingHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.show());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.awaitState<EnrollmentState::AwaitingApproval>());
    host.main.sync([&] { host.service->cancel("Pairing cancelled."); });
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::cancelled);
    EXPECT_TRUE(phone.recorder().waitForClosed());
    EXPECT_EQ(host.finishedMessage(), "Pairing cancelled.");
    // Without a message the service goes back to idle.
    host.main.sync([&] { host.service->cancel(); });
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Idle>(host.state()));
}

TEST(EnrollmentService, DenyingRefusesTheDevice) {
    PairingHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.show());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    const auto awaiting = host.awaitState<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(awaiting);
    host.decide(awaiting->token, false);
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::denied);
    EXPECT_EQ(host.finishedMessage(), "Pairing denied.");
}

TEST(EnrollmentService, AFailedSaveIsToldToBothSides) {
    PairingHost host(EnrollmentService::approvalTimeoutSeconds,
                     [](const TrustedPeer&) -> std::expected<void, std::string> { return std::unexpected(std::string("full")); });
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.show());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    const auto awaiting = host.awaitState<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(awaiting);
    host.decide(awaiting->token, true);
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::cancelled);
    EXPECT_EQ(result->hostProof, Digest32::zero());
    EXPECT_EQ(host.finishedMessage(), "Could not save the paired device: full");
}

TEST(EnrollmentService, DisconnectingBeforeApprovalEndsPairing) {
    PairingHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.show());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.awaitState<EnrollmentState::AwaitingApproval>());
    phone.client.connection->close(0.5);
    EXPECT_EQ(host.finishedMessage(), "The device disconnected before approval.");
}

TEST(EnrollmentService, ARequestBeforeHelloIsRefusedAndTheCodeStays) {
    PairingHost host;
    const std::string text = host.show();
    {
        PairingClient rude(host.keys, host.defaults.defaults(), "rude", text);
        ASSERT_TRUE(rude.ready());
        rude.wrongRequest();
        const auto error = awaitMessage<msg::Error>(rude.recorder());
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, ErrorCode::protocolViolation);
        EXPECT_EQ(error->reason, "enrollment channel");
        EXPECT_TRUE(rude.recorder().waitForClosed());
    }
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.state()));

    PairingClient phone(host.keys, host.defaults.defaults(), "phone", text);
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    EXPECT_TRUE(host.awaitState<EnrollmentState::AwaitingApproval>());
}

TEST(EnrollmentService, AWrongHelloIsRefused) {
    PairingHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.show());
    ASSERT_TRUE(phone.ready());
    phone.send(Hello{2, 0, PeerRole::client, WireID(phone.deviceID), WireID(phone.deviceID), "future"});
    const auto error = awaitMessage<msg::Error>(phone.recorder());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->reason, "enrollment channel");
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.state()));
}

// One connection's hello must not vouch for the next connection.
TEST(EnrollmentService, ALaterConnectionDoesNotInheritAnEarlierHello) {
    PairingHost host;
    const std::string text = host.show();
    {
        PairingClient first(host.keys, host.defaults.defaults(), "first", text);
        ASSERT_TRUE(first.ready());
        ASSERT_TRUE(first.hello());
        first.client.connection->close(0.2);
        ASSERT_TRUE(first.recorder().waitForClosed());
    }
    PairingClient second(host.keys, host.defaults.defaults(), "second", text);
    ASSERT_TRUE(eventually([&] { return second.recorder().readyFingerprint().has_value(); }));
    ASSERT_TRUE(second.request());
    const auto error = awaitMessage<msg::Error>(second.recorder());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->reason, "enrollment channel");
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.state()));
}

TEST(EnrollmentService, OneDevicePairsAtATime) {
    PairingHost host;
    const std::string text = host.show();
    PairingClient first(host.keys, host.defaults.defaults(), "first", text);
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(first.hello());
    PairingClient second(host.keys, host.defaults.defaults(), "second", text);
    ASSERT_TRUE(second.recorder().waitForClosed());
    EXPECT_FALSE(PeerRecorder::has<peer::Control>(second.recorder().events()));
    // The first is still served.
    ASSERT_TRUE(first.request());
    EXPECT_TRUE(host.awaitState<EnrollmentState::AwaitingApproval>());
}

TEST(EnrollmentService, ANewStartReplacesTheShownCode) {
    PairingHost host;
    const std::string first = host.show();
    const std::string second = host.show();
    ASSERT_NE(first, second);
    // The first code's listener is gone.
    PairingClient late(host.keys, host.defaults.defaults(), "late", first);
    EXPECT_TRUE(late.recorder().waitForClosed());
    EXPECT_FALSE(late.recorder().readyFingerprint().has_value());
    EXPECT_EQ(std::get<EnrollmentState::Showing>(host.state()).text, second);
}

} // namespace
} // namespace quillmere
