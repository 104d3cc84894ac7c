#include "QuillmereMac/Enrollment/EnrollmentService.h"

#include "Platform/QRCode/QRCodeImage.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Host/PairingClient.h"
#include "TestSupport/Host/TestHost.h"
#include "TestSupport/QRCodeReader.h"

#include <gtest/gtest.h>

#include <atomic>

namespace quillmere {
namespace {

using namespace testing;

// What the pairing window says once pairing is over.
std::string finishedMessage(TestHost& host) {
    const auto finished = host.awaitPairing<EnrollmentState::Finished>();
    return finished ? finished->message : "(not finished)";
}

TEST(EnrollmentService, ARealPairingSavesTheDeviceForGood) {
    TestHost host;
    const std::string text = host.showInvitation();
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
    const auto awaiting = host.awaitPairing<EnrollmentState::AwaitingApproval>();
    ASSERT_TRUE(awaiting);
    EXPECT_EQ(awaiting->deviceName, "Anna's iPhone");

    host.decide(awaiting->token + 1, true); // not the pending request: nothing
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::AwaitingApproval>(host.pairingState()));
    host.decide(awaiting->token, true);

    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::approved);
    const auto& paired = phone.enrollment->handle(*result, hostHello->deviceID, EnrollmentService::wallClockSeconds());
    ASSERT_TRUE(std::holds_alternative<ClientEnrollment::Paired>(paired));
    EXPECT_EQ(finishedMessage(host), "Anna's iPhone is paired.");
    EXPECT_TRUE(phone.recorder().waitForClosed());

    // In the engine now, and in a new engine over the same keychain.
    const auto expectPaired = [&](const HostEngine& engine) {
        const auto peer = engine.trusted()->peer(phone.identity.fingerprint);
        ASSERT_TRUE(peer);
        EXPECT_EQ(peer->deviceID, WireID(phone.deviceID));
        EXPECT_EQ(peer->name, "Anna's iPhone");
    };
    host.main.sync([&] { expectPaired(*host.engine); });
    host.main.sync([&] { expectPaired(*host.openEngine()); });
}

TEST(EnrollmentService, TheQRCodeReadsBackAsTheInvitation) {
    TestHost host;
    const std::string text = host.showInvitation();
    const auto image = QRCodeImage::make(text, 8);
    ASSERT_TRUE(image);
    const TemporaryFolder folder;
    ASSERT_TRUE(image->save(QString::fromStdString((folder.path() / "code.png").string()), "PNG"));
    EXPECT_EQ(readQRCode(folder.path() / "code.png"), text);
}

TEST(EnrollmentService, TheFifthWrongProofEndsPairing) {
    TestHost host;
    const std::string text = host.showInvitation();
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
            ASSERT_TRUE(eventually([&] { return std::holds_alternative<EnrollmentState::Showing>(host.pairingState()); }));
        }
    }
    EXPECT_EQ(finishedMessage(host), "Pairing failed. Show a new code to try again.");
}

TEST(EnrollmentService, AnUnusedCodeExpires) {
    TestHost host;
    host.showInvitation(1);
    EXPECT_EQ(finishedMessage(host), "The pairing code expired.");
}

// The timer runs on the steady clock, the expiry on the wall clock: when the
// wall clock has not got there yet (it was set back meanwhile), the code
// must still expire once it does, not stay on screen for good.
TEST(EnrollmentService, ACodeExpiresByTheWallClockEvenWhenTheTimerComesEarly) {
    LockedBox<std::uint64_t> wall{1'800'000'000};
    std::atomic<int> readings{0};
    TestHost host({.now = [&] {
        ++readings;
        return wall.get();
    }});
    host.showInvitation(1);
    // Read when the code is issued, when its timer is set, and when the
    // timer fires: then the code must still be showing.
    ASSERT_TRUE(eventually([&] { return readings.load() >= 3; }));
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.pairingState()));
    wall.set(1'800'000'001);
    EXPECT_EQ(finishedMessage(host), "The pairing code expired.");
}

TEST(EnrollmentService, AnUnansweredApprovalExpires) {
    TestHost host({.approvalTimeoutSeconds = 1});
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.awaitPairing<EnrollmentState::AwaitingApproval>());
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::expired);
    EXPECT_EQ(finishedMessage(host), "The approval expired.");
    host.main.sync([&] { EXPECT_TRUE(host.engine->trustedPeers().empty()); });
}

TEST(EnrollmentService, CancellingTellsTheWaitingDeviceFirst) {
    TestHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.awaitPairing<EnrollmentState::AwaitingApproval>());
    host.main.sync([&] { host.enrollment->cancel("Pairing cancelled."); });
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::cancelled);
    EXPECT_TRUE(phone.recorder().waitForClosed());
    EXPECT_EQ(finishedMessage(host), "Pairing cancelled.");
    // Without a message the service goes back to idle.
    host.main.sync([&] { host.enrollment->cancel(); });
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Idle>(host.pairingState()));
}

// The phone asks to pair; the approval the host's user is then asked for.
std::optional<EnrollmentState::AwaitingApproval> askedToApprove(TestHost& host, PairingClient& phone) {
    if (!phone.ready() || !phone.hello() || !phone.request()) return std::nullopt;
    return host.awaitPairing<EnrollmentState::AwaitingApproval>();
}

TEST(EnrollmentService, DenyingRefusesTheDevice) {
    TestHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
    const auto awaiting = askedToApprove(host, phone);
    ASSERT_TRUE(awaiting);
    host.decide(awaiting->token, false);
    const auto result = phone.result();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::denied);
    EXPECT_EQ(finishedMessage(host), "Pairing denied.");
}

TEST(EnrollmentService, ASaveThatWaitsOrFailsIsToldToBothSides) {
    std::optional<ChildProcess> holder;
    const auto lock = [](TestHost& host) { return host.keys.path() / "keychain" / ".lock"; };
    struct Case {
        const char* name;
        TestHost::Options options;
        // How long another process holds the keychain's lock after the approval.
        std::optional<std::chrono::milliseconds> held;
        EnrollmentOutcome outcome;
        std::string message; // "…" stands for the lock file
        // The pairing window closes while the save waits.
        bool dismissed = false;
    };
    const Case cases[] = {
        {"refused",
         {.addDevice = [](const TrustedPeer&, const EnrollmentService::Saved& saved) {
             saved(std::unexpected(std::string("full")));
         }},
         std::nullopt, EnrollmentOutcome::cancelled, "Could not save the paired device: full."},
        {"waits for the lock", {}, std::chrono::milliseconds(500), EnrollmentOutcome::approved,
         "Anna's iPhone is paired."},
        {"lock never let go", {.lockWait = std::chrono::seconds(1)}, std::chrono::hours(1),
         EnrollmentOutcome::cancelled,
         "Could not save the paired device: … is held by another Quillmere that does not answer; nothing was changed."},
        {"closed, then saved", {}, std::chrono::milliseconds(500), EnrollmentOutcome::approved,
         "Anna's iPhone is paired.", true},
        {"closed, then not saved", {.lockWait = std::chrono::seconds(1)}, std::chrono::hours(1),
         EnrollmentOutcome::cancelled,
         "Could not save the paired device: … is held by another Quillmere that does not answer; nothing was changed.",
         true},
    };
    for (const Case& c : cases) {
        TestHost host(c.options);
        PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
        const auto awaiting = askedToApprove(host, phone);
        ASSERT_TRUE(awaiting) << c.name;
        if (c.held) holder = ChildProcess::holdingLock(lock(host));
        host.decide(awaiting->token, true);
        if (c.held) {
            // The window says it is saving; the main actor answers meanwhile.
            EXPECT_EQ(host.pairingState(), EnrollmentService::State(EnrollmentState::Saving{"Anna's iPhone"})) << c.name;
            if (c.dismissed) host.main.sync([&] { host.enrollment->dismiss(); });
            const auto until = std::chrono::steady_clock::now() + std::min(*c.held, std::chrono::milliseconds(1500));
            const auto longest = host.longestMainWait([&] { return std::chrono::steady_clock::now() >= until; });
            std::printf("%s: main actor answered within %lld ms while the pairing was saving\n", c.name,
                        static_cast<long long>(longest.count()));
            EXPECT_LT(longest.count(), 100) << c.name;
            holder.reset();
        }
        const auto result = phone.result();
        ASSERT_TRUE(result) << c.name;
        EXPECT_EQ(result->outcome, c.outcome) << c.name;
        EXPECT_EQ(result->hostProof == Digest32::zero(), c.outcome != EnrollmentOutcome::approved) << c.name;
        std::string message = c.message;
        if (const auto at = message.find("…"); at != std::string::npos) message.replace(at, 3, lock(host).string());
        EXPECT_EQ(finishedMessage(host), message) << c.name;
        host.main.sync([&] {
            EXPECT_EQ(host.engine->trusted()->peer(phone.identity.fingerprint).has_value(),
                      c.outcome == EnrollmentOutcome::approved);
        });
    }
}

TEST(EnrollmentService, DisconnectingBeforeApprovalEndsPairing) {
    TestHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    ASSERT_TRUE(host.awaitPairing<EnrollmentState::AwaitingApproval>());
    phone.client.connection->close(0.5);
    EXPECT_EQ(finishedMessage(host), "The device disconnected before approval.");
}

TEST(EnrollmentService, ARequestBeforeHelloIsRefusedAndTheCodeStays) {
    TestHost host;
    const std::string text = host.showInvitation();
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
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.pairingState()));

    PairingClient phone(host.keys, host.defaults.defaults(), "phone", text);
    ASSERT_TRUE(phone.ready());
    ASSERT_TRUE(phone.hello());
    ASSERT_TRUE(phone.request());
    EXPECT_TRUE(host.awaitPairing<EnrollmentState::AwaitingApproval>());
}

TEST(EnrollmentService, AWrongHelloIsRefused) {
    TestHost host;
    PairingClient phone(host.keys, host.defaults.defaults(), "phone", host.showInvitation());
    ASSERT_TRUE(phone.ready());
    phone.send(Hello{2, 0, PeerRole::client, WireID(phone.deviceID), WireID(phone.deviceID), "future"});
    const auto error = awaitMessage<msg::Error>(phone.recorder());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->reason, "enrollment channel");
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.pairingState()));
}

// One connection's hello must not vouch for the next connection.
TEST(EnrollmentService, ALaterConnectionDoesNotInheritAnEarlierHello) {
    TestHost host;
    const std::string text = host.showInvitation();
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
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Showing>(host.pairingState()));
}

TEST(EnrollmentService, OneDevicePairsAtATime) {
    TestHost host;
    const std::string text = host.showInvitation();
    PairingClient first(host.keys, host.defaults.defaults(), "first", text);
    ASSERT_TRUE(first.ready());
    ASSERT_TRUE(first.hello());
    PairingClient second(host.keys, host.defaults.defaults(), "second", text);
    ASSERT_TRUE(second.recorder().waitForClosed());
    EXPECT_FALSE(PeerRecorder::has<peer::Control>(second.recorder().events()));
    // The first is still served.
    ASSERT_TRUE(first.request());
    EXPECT_TRUE(host.awaitPairing<EnrollmentState::AwaitingApproval>());
}

TEST(EnrollmentService, ANewStartReplacesTheShownCode) {
    TestHost host;
    const std::string first = host.showInvitation();
    const std::string second = host.showInvitation();
    ASSERT_NE(first, second);
    // The first code's listener is gone.
    // A loopback handshake takes milliseconds; a second is plenty to tell.
    PairingClient late(host.keys, host.defaults.defaults(), "late", first, "Anna's iPhone", 1.0);
    EXPECT_TRUE(late.recorder().waitForClosed());
    EXPECT_FALSE(late.recorder().readyFingerprint().has_value());
    EXPECT_EQ(std::get<EnrollmentState::Showing>(host.pairingState()).text, second);
}

} // namespace
} // namespace quillmere
