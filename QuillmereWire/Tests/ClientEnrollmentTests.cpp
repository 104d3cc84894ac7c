#include "QuillmereWire/ClientEnrollment.h"
#include "QuillmereWire/EnrollmentProof.h"

#include "PairingTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using pairingtest::filled;
using pairingtest::flipped;
using pairingtest::TestPairingCrypto;
using State = ClientEnrollment::State;

constexpr std::uint64_t t0 = 1'700'000'000;

class ClientEnrollmentTest : public ::testing::Test {
protected:
    std::shared_ptr<TestPairingCrypto> crypto = std::make_shared<TestPairingCrypto>();
    Invitation invitation{
        .invitationID = filled<WireID>(0xA0),
        .hostFingerprint = filled<Digest32>(0x80),
        .secret = filled<Digest32>(0x00),
        .expiresAt = static_cast<std::uint32_t>(t0 + 300),
        .port = 50123,
        .address = "10.0.0.1",
        .hostName = "Studio",
    };
    Digest32 clientFingerprint = filled<Digest32>(0x40);
    WireID hostDevice = filled<WireID>(0x90);
    ClientEnrollment client = *ClientEnrollment::start(crypto, invitation, t0);

    // Verified and requested.
    void request() {
        ASSERT_TRUE(client.verifyHost(invitation.hostFingerprint));
        ASSERT_TRUE(client.makeRequest(clientFingerprint, "Phone").has_value());
    }

    msg::EnrollResult approved() const {
        return {invitation.invitationID, EnrollmentOutcome::approved,
                EnrollmentProof::host(*crypto, invitation.secret, invitation.invitationID, clientFingerprint,
                                      invitation.hostFingerprint)};
    }

    const State& receive(const ControlMessage& message, std::uint64_t now = t0 + 5) {
        return client.handle(message, hostDevice, now);
    }

    static State failed(EnrollmentError error) { return ClientEnrollment::Failed{std::move(error)}; }
};

TEST_F(ClientEnrollmentTest, StartsOnlyBeforeExpiry) {
    EXPECT_EQ(ClientEnrollment::start(crypto, invitation, invitation.expiresAt).error(), EnrollmentError::expired());
    EXPECT_EQ(ClientEnrollment::start(crypto, invitation, t0 + 10'000).error(), EnrollmentError::expired());
    const auto fresh = ClientEnrollment::start(crypto, invitation, invitation.expiresAt - 1);
    ASSERT_TRUE(fresh.has_value());
    EXPECT_EQ(fresh->state(), State(ClientEnrollment::AwaitingHostVerification{}));
    EXPECT_EQ(fresh->clientFingerprint(), std::nullopt);
    EXPECT_FALSE(fresh->isFinished());
}

TEST_F(ClientEnrollmentTest, AnotherHostFingerprintFails) {
    EXPECT_FALSE(client.verifyHost(flipped(invitation.hostFingerprint, 0)));
    EXPECT_EQ(client.state(), failed(EnrollmentError::hostFingerprintMismatch()));
    EXPECT_TRUE(client.isFinished());
    EXPECT_FALSE(client.verifyHost(invitation.hostFingerprint));
    EXPECT_EQ(client.state(), failed(EnrollmentError::hostFingerprintMismatch()));
}

TEST_F(ClientEnrollmentTest, TheHostIsVerifiedOnce) {
    EXPECT_TRUE(client.verifyHost(invitation.hostFingerprint));
    EXPECT_FALSE(client.verifyHost(invitation.hostFingerprint));
    EXPECT_FALSE(client.verifyHost(flipped(invitation.hostFingerprint)));
    EXPECT_EQ(client.state(), State(ClientEnrollment::HostVerified{}));
}

TEST_F(ClientEnrollmentTest, NoRequestBeforeTheHostIsVerified) {
    EXPECT_EQ(client.makeRequest(clientFingerprint, "Phone").error(), EnrollmentError::invalidState());
    EXPECT_EQ(client.state(), State(ClientEnrollment::AwaitingHostVerification{}));
    EXPECT_EQ(client.clientFingerprint(), std::nullopt);
}

TEST_F(ClientEnrollmentTest, TheRequestCarriesTheClientProof) {
    ASSERT_TRUE(client.verifyHost(invitation.hostFingerprint));
    const std::string longName = std::string(63, 'n') + "é";
    const auto message = client.makeRequest(clientFingerprint, longName);
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(message->invitationID, invitation.invitationID);
    EXPECT_EQ(message->proof, EnrollmentProof::client(*crypto, invitation.secret, invitation.invitationID,
                                                      clientFingerprint, invitation.hostFingerprint));
    EXPECT_EQ(message->deviceName, std::string(63, 'n'));
    EXPECT_EQ(client.state(), State(ClientEnrollment::Requested{}));
    EXPECT_EQ(client.clientFingerprint(), clientFingerprint);
    EXPECT_EQ(client.makeRequest(clientFingerprint, "again").error(), EnrollmentError::invalidState());
}

TEST_F(ClientEnrollmentTest, PendingThenApprovedPairs) {
    request();
    EXPECT_EQ(receive(msg::EnrollPending{invitation.invitationID}), State(ClientEnrollment::AwaitingApproval{}));
    const State& state = receive(approved(), t0 + 42);
    EXPECT_EQ(state, State(ClientEnrollment::Paired{
                         TrustedPeer(hostDevice, invitation.hostFingerprint, "Studio", PeerRole::host, t0 + 42)}));
    EXPECT_TRUE(client.isFinished());
}

TEST_F(ClientEnrollmentTest, AResultMayComeWithoutPending) {
    request();
    EXPECT_TRUE(std::holds_alternative<ClientEnrollment::Paired>(receive(approved())));
}

TEST_F(ClientEnrollmentTest, APendingForAnotherInvitationFails) {
    request();
    EXPECT_EQ(receive(msg::EnrollPending{filled<WireID>(0xA1)}), failed(EnrollmentError::invitationMismatch()));
}

TEST_F(ClientEnrollmentTest, AResultForAnotherInvitationFailsBeforeItsOutcomeIsRead) {
    request();
    auto result = approved();
    result.invitationID = filled<WireID>(0xA1);
    result.outcome = EnrollmentOutcome::denied;
    EXPECT_EQ(receive(result), failed(EnrollmentError::invitationMismatch()));
}

TEST_F(ClientEnrollmentTest, ARefusalIsRejectedWithItsOutcome) {
    for (auto outcome : {EnrollmentOutcome::denied, EnrollmentOutcome::expired, EnrollmentOutcome::alreadyUsed,
                         EnrollmentOutcome::invalidProof, EnrollmentOutcome::cancelled}) {
        auto fresh = *ClientEnrollment::start(crypto, invitation, t0);
        fresh.verifyHost(invitation.hostFingerprint);
        fresh.makeRequest(clientFingerprint, "Phone");
        fresh.handle(msg::EnrollPending{invitation.invitationID}, hostDevice, t0);
        // The zero host proof of a refusal is not looked at.
        EXPECT_EQ(fresh.handle(msg::EnrollResult{invitation.invitationID, outcome, Digest32::zero()}, hostDevice, t0),
                  failed(EnrollmentError::rejected(outcome)));
    }
}

TEST_F(ClientEnrollmentTest, AWrongHostProofFails) {
    request();
    auto result = approved();
    result.hostProof = flipped(result.hostProof);
    EXPECT_EQ(receive(result), failed(EnrollmentError::hostProofInvalid()));
}

TEST_F(ClientEnrollmentTest, TheClientProofIsNoHostProof) {
    request();
    auto result = approved();
    result.hostProof = EnrollmentProof::client(*crypto, invitation.secret, invitation.invitationID, clientFingerprint,
                                               invitation.hostFingerprint);
    EXPECT_EQ(receive(result), failed(EnrollmentError::hostProofInvalid()));
}

TEST_F(ClientEnrollmentTest, UnexpectedMessagesFail) {
    // Before the request.
    EXPECT_EQ(receive(approved()), failed(EnrollmentError::unexpectedMessage()));

    auto verified = *ClientEnrollment::start(crypto, invitation, t0);
    verified.verifyHost(invitation.hostFingerprint);
    EXPECT_EQ(verified.handle(msg::EnrollPending{invitation.invitationID}, hostDevice, t0),
              failed(EnrollmentError::unexpectedMessage()));

    auto requested = *ClientEnrollment::start(crypto, invitation, t0);
    requested.verifyHost(invitation.hostFingerprint);
    requested.makeRequest(clientFingerprint, "Phone");
    EXPECT_EQ(requested.handle(msg::Ping{1}, hostDevice, t0), failed(EnrollmentError::unexpectedMessage()));

    auto awaiting = *ClientEnrollment::start(crypto, invitation, t0);
    awaiting.verifyHost(invitation.hostFingerprint);
    awaiting.makeRequest(clientFingerprint, "Phone");
    awaiting.handle(msg::EnrollPending{invitation.invitationID}, hostDevice, t0);
    EXPECT_EQ(awaiting.handle(msg::EnrollPending{invitation.invitationID}, hostDevice, t0),
              failed(EnrollmentError::unexpectedMessage()));
}

TEST_F(ClientEnrollmentTest, FinalStatesStay) {
    request();
    const State paired = receive(approved());
    EXPECT_EQ(receive(msg::Ping{1}), paired);
    EXPECT_EQ(receive(msg::EnrollResult{invitation.invitationID, EnrollmentOutcome::denied, {}}), paired);
    client.cancel();
    EXPECT_EQ(client.state(), paired);
}

TEST_F(ClientEnrollmentTest, CancelEndsAnyOpenState) {
    request();
    client.cancel();
    EXPECT_EQ(client.state(), State(ClientEnrollment::Cancelled{}));
    EXPECT_TRUE(client.isFinished());
    EXPECT_EQ(receive(approved()), State(ClientEnrollment::Cancelled{}));
}

} // namespace
} // namespace quillmere
