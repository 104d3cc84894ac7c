#include "QuillmereWire/EnrollmentProof.h"
#include "QuillmereWire/HostEnrollment.h"

#include "PairingTestSupport.h"

#include <gtest/gtest.h>

#include <limits>

namespace quillmere {
namespace {

using pairingtest::filled;
using pairingtest::flipped;
using pairingtest::TestPairingCrypto;
using Draw = TestPairingCrypto::Draw;

constexpr std::uint64_t t0 = 1'700'000'000;
constexpr std::uint32_t u32max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t u64max = std::numeric_limits<std::uint64_t>::max();

class HostEnrollmentTest : public ::testing::Test {
protected:
    std::shared_ptr<TestPairingCrypto> crypto = std::make_shared<TestPairingCrypto>();
    Digest32 hostFingerprint = filled<Digest32>(0x80);
    Digest32 clientFingerprint = filled<Digest32>(0x40);
    WireID clientDevice = filled<WireID>(0x30);
    HostEnrollment host{crypto, hostFingerprint, 120};

    Invitation issue(std::uint64_t now = t0, std::uint32_t lifetime = 300) {
        auto invitation = host.issueInvitation(now, lifetime, 50123, "10.0.0.1", "Studio");
        EXPECT_TRUE(invitation.has_value());
        return *invitation;
    }

    msg::EnrollRequest request(const Invitation& invitation, std::string name = "Phone") const {
        return {invitation.invitationID,
                EnrollmentProof::client(*crypto, invitation.secret, invitation.invitationID, clientFingerprint,
                                        hostFingerprint),
                std::move(name)};
    }

    msg::EnrollRequest wrongRequest(const Invitation& invitation) const {
        auto out = request(invitation);
        out.proof = flipped(out.proof);
        return out;
    }

    HostEnrollment::Step send(const msg::EnrollRequest& message, std::uint64_t now = t0 + 1) {
        return host.handle(message, clientFingerprint, now);
    }

    static HostEnrollment::Step refused(const WireID& id, EnrollmentOutcome outcome) {
        return HostEnrollment::Finish{msg::EnrollResult{id, outcome, Digest32::zero()}};
    }

    // Brings the host to a pending request; returns its token.
    std::uint64_t pendingRequest(const Invitation& invitation, std::uint64_t now = t0 + 1) {
        const auto step = send(request(invitation), now);
        const auto* wait = std::get_if<HostEnrollment::AwaitApproval>(&step);
        EXPECT_NE(wait, nullptr);
        return wait ? wait->pending.token : 0;
    }
};

TEST_F(HostEnrollmentTest, IssuesAnInvitationFromTwoRandomDraws) {
    const Invitation invitation = issue();
    EXPECT_EQ(crypto->draws, 2);
    EXPECT_EQ(invitation.invitationID, filled<WireID>(0x01));
    EXPECT_EQ(invitation.secret, filled<Digest32>(0x32));
    EXPECT_EQ(invitation.hostFingerprint, hostFingerprint);
    EXPECT_EQ(invitation.expiresAt, t0 + 300);
    EXPECT_EQ(invitation.port, 50123);
    EXPECT_EQ(invitation.address, "10.0.0.1");
    EXPECT_EQ(invitation.hostName, "Studio");
    EXPECT_EQ(host.activeInvitation(), invitation);
    EXPECT_FALSE(host.pending().has_value());
}

TEST_F(HostEnrollmentTest, KeepsTheLifetimeWithinBounds) {
    EXPECT_EQ(issue(t0, 0).expiresAt, t0 + 1);
    EXPECT_EQ(issue(t0, 1000).expiresAt, t0 + 300);
    EXPECT_EQ(issue(t0, u32max).expiresAt, t0 + 300);
    EXPECT_EQ(issue(u32max - 10, 300).expiresAt, u32max);
    EXPECT_EQ(issue(u64max, 300).expiresAt, u32max);
}

TEST_F(HostEnrollmentTest, CutsAddressAndHostNameBetweenScalars) {
    const std::string name = std::string(63, 'n') + "é";
    const auto invitation = host.issueInvitation(t0, 300, 1, std::string(70, 'a'), name);
    ASSERT_TRUE(invitation.has_value());
    EXPECT_EQ(invitation->address, std::string(64, 'a'));
    EXPECT_EQ(invitation->hostName, std::string(63, 'n'));
    EXPECT_TRUE(invitation->encoded().has_value());
}

TEST_F(HostEnrollmentTest, RandomFailureChangesNothing) {
    const Invitation first = issue();
    for (auto script : {std::deque{Draw::fail}, std::deque{Draw::normal, Draw::fail}, std::deque{Draw::shortByOne},
                        std::deque{Draw::normal, Draw::shortByOne}}) {
        crypto->script = script;
        EXPECT_EQ(host.issueInvitation(t0 + 5, 300, 1, "a", "b").error(), EnrollmentError::randomFailure());
        EXPECT_EQ(host.activeInvitation(), first);
    }
    // A pending request survives a failed issue as well.
    pendingRequest(first);
    crypto->script = {Draw::fail};
    EXPECT_FALSE(host.issueInvitation(t0 + 5, 300, 1, "a", "b").has_value());
    EXPECT_TRUE(host.pending().has_value());
}

TEST_F(HostEnrollmentTest, ACorrectProofWaitsForTheUser) {
    const Invitation invitation = issue();
    const auto step = send(request(invitation, "Anna's phone"), t0 + 10);
    const HostEnrollment::PendingApproval pending{1, "Anna's phone", clientFingerprint, t0 + 10 + 120};
    EXPECT_EQ(step, HostEnrollment::Step(HostEnrollment::AwaitApproval{
                        msg::EnrollPending{invitation.invitationID}, pending}));
    EXPECT_EQ(host.pending(), pending);
    EXPECT_EQ(host.activeInvitation(), std::nullopt);
}

TEST_F(HostEnrollmentTest, TheProofBindsTheClientCertificate) {
    const Invitation invitation = issue();
    // Proved for one certificate, presented over a connection with another.
    EXPECT_EQ(host.handle(request(invitation), flipped(clientFingerprint, 0), t0 + 1),
              refused(invitation.invitationID, EnrollmentOutcome::invalidProof));
}

TEST_F(HostEnrollmentTest, AnInvitationSurvivesFourWrongProofs) {
    const Invitation invitation = issue();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(send(wrongRequest(invitation)), refused(invitation.invitationID, EnrollmentOutcome::invalidProof));
        EXPECT_EQ(host.activeInvitation(), invitation);
    }
    EXPECT_TRUE(std::holds_alternative<HostEnrollment::AwaitApproval>(send(request(invitation))));
}

TEST_F(HostEnrollmentTest, TheFifthWrongProofEndsTheInvitation) {
    const Invitation invitation = issue();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(send(wrongRequest(invitation)), refused(invitation.invitationID, EnrollmentOutcome::invalidProof));
    }
    EXPECT_EQ(host.activeInvitation(), std::nullopt);
    EXPECT_EQ(send(request(invitation)), refused(invitation.invitationID, EnrollmentOutcome::invalidProof));
}

TEST_F(HostEnrollmentTest, AnotherInvitationIsRefusedWithoutCountingAnAttempt) {
    const Invitation invitation = issue();
    Invitation other = invitation;
    other.invitationID = filled<WireID>(0xEE);
    for (int i = 0; i < 4; ++i) send(wrongRequest(invitation));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(send(request(other)), refused(other.invitationID, EnrollmentOutcome::invalidProof));
    }
    EXPECT_TRUE(std::holds_alternative<HostEnrollment::AwaitApproval>(send(request(invitation))));
}

TEST_F(HostEnrollmentTest, ExpiresAtTheExactSecond) {
    const Invitation invitation = issue();
    EXPECT_EQ(send(request(invitation), invitation.expiresAt),
              refused(invitation.invitationID, EnrollmentOutcome::expired));
    EXPECT_EQ(host.activeInvitation(), std::nullopt);
    EXPECT_EQ(send(request(invitation), invitation.expiresAt - 1),
              refused(invitation.invitationID, EnrollmentOutcome::invalidProof));

    const Invitation second = issue(t0 + 1000);
    EXPECT_TRUE(std::holds_alternative<HostEnrollment::AwaitApproval>(send(request(second), second.expiresAt - 1)));
}

TEST_F(HostEnrollmentTest, AConsumedInvitationIsAlreadyUsed) {
    const Invitation invitation = issue();
    const std::uint64_t token = pendingRequest(invitation);
    EXPECT_EQ(send(request(invitation, "Second")), refused(invitation.invitationID, EnrollmentOutcome::alreadyUsed));
    EXPECT_EQ(send(wrongRequest(invitation)), refused(invitation.invitationID, EnrollmentOutcome::alreadyUsed));
    EXPECT_EQ(host.pending()->token, token);
    EXPECT_EQ(host.pending()->deviceName, "Phone");
}

TEST_F(HostEnrollmentTest, ARequestPastExpiryWhileDecidingKeepsThePendingRequest) {
    const Invitation invitation = issue();
    const std::uint64_t token = pendingRequest(invitation);
    EXPECT_EQ(send(request(invitation), invitation.expiresAt),
              refused(invitation.invitationID, EnrollmentOutcome::expired));
    // Without its invitation the request can no longer be approved, only refused.
    EXPECT_EQ(host.approve(token, clientDevice, t0 + 2), std::nullopt);
    EXPECT_EQ(host.deny(token), HostEnrollment::Completion(HostEnrollment::Refused{
                                    {invitation.invitationID, EnrollmentOutcome::denied, Digest32::zero()}}));
}

TEST_F(HostEnrollmentTest, AnyOtherMessageClosesTheChannel) {
    const Invitation invitation = issue();
    const HostEnrollment::Step expected =
        HostEnrollment::Finish{msg::Error{ErrorCode::protocolViolation, "enrollment channel"}};
    EXPECT_EQ(host.handle(msg::Ping{5}, clientFingerprint, t0), expected);
    EXPECT_EQ(host.handle(msg::EnrollPending{invitation.invitationID}, clientFingerprint, t0), expected);
    EXPECT_EQ(host.handle(Hello{}, clientFingerprint, t0), expected);
    EXPECT_EQ(host.activeInvitation(), invitation);
    EXPECT_TRUE(std::holds_alternative<HostEnrollment::AwaitApproval>(send(request(invitation))));
}

TEST_F(HostEnrollmentTest, ApprovalAnswersWithTheHostProofAndThePeer) {
    const Invitation invitation = issue();
    const std::uint64_t token = pendingRequest(invitation);
    const auto completion = host.approve(token, clientDevice, t0 + 50);
    const Digest32 proof = EnrollmentProof::host(*crypto, invitation.secret, invitation.invitationID,
                                                 clientFingerprint, hostFingerprint);
    EXPECT_EQ(completion, HostEnrollment::Completion(HostEnrollment::Approved{
                              {invitation.invitationID, EnrollmentOutcome::approved, proof},
                              TrustedPeer(clientDevice, clientFingerprint, "Phone", PeerRole::client, t0 + 50)}));
    EXPECT_EQ(host.pending(), std::nullopt);
    EXPECT_EQ(host.activeInvitation(), std::nullopt);
    EXPECT_EQ(host.approve(token, clientDevice, t0 + 51), std::nullopt);
    EXPECT_EQ(send(request(invitation)), refused(invitation.invitationID, EnrollmentOutcome::invalidProof));
}

TEST_F(HostEnrollmentTest, TheApprovedNameIsCutBetweenScalars) {
    const Invitation invitation = issue();
    // 62 bytes, then a 4-byte scalar that would end at byte 66.
    const std::string name = std::string(62, 'p') + "\xF0\x9F\x98\x80" + "tail";
    send(request(invitation, name));
    EXPECT_EQ(host.pending()->deviceName, name);
    const auto completion = host.approve(1, clientDevice, t0 + 2);
    ASSERT_TRUE(completion.has_value());
    EXPECT_EQ(std::get<HostEnrollment::Approved>(*completion).peer.name, std::string(62, 'p'));
}

TEST_F(HostEnrollmentTest, ApprovalAtTheDeadlineIsExpired) {
    const Invitation invitation = issue();
    const std::uint64_t token = pendingRequest(invitation, t0 + 1);
    const std::uint64_t deadline = t0 + 1 + 120;
    EXPECT_EQ(host.approve(token, clientDevice, deadline),
              HostEnrollment::Completion(HostEnrollment::Refused{
                  {invitation.invitationID, EnrollmentOutcome::expired, Digest32::zero()}}));
    EXPECT_EQ(host.pending(), std::nullopt);
    EXPECT_EQ(host.deny(token), std::nullopt);
}

TEST_F(HostEnrollmentTest, ExpireOnlyAtOrAfterTheDeadline) {
    const Invitation invitation = issue();
    pendingRequest(invitation, t0 + 1);
    EXPECT_EQ(host.expire(t0 + 120), std::nullopt);
    EXPECT_TRUE(host.pending().has_value());
    EXPECT_EQ(host.expire(t0 + 121), HostEnrollment::Completion(HostEnrollment::Refused{
                                         {invitation.invitationID, EnrollmentOutcome::expired, Digest32::zero()}}));
    EXPECT_EQ(host.expire(t0 + 500), std::nullopt);
}

TEST_F(HostEnrollmentTest, DenyNeedsTheToken) {
    const Invitation invitation = issue();
    const std::uint64_t token = pendingRequest(invitation);
    EXPECT_EQ(host.deny(token + 1), std::nullopt);
    EXPECT_EQ(host.approve(token + 1, clientDevice, t0 + 2), std::nullopt);
    EXPECT_TRUE(host.pending().has_value());
    EXPECT_EQ(host.deny(token), HostEnrollment::Completion(HostEnrollment::Refused{
                                    {invitation.invitationID, EnrollmentOutcome::denied, Digest32::zero()}}));
    EXPECT_EQ(host.pending(), std::nullopt);
    EXPECT_EQ(host.activeInvitation(), std::nullopt);
}

TEST_F(HostEnrollmentTest, TokensOnlyGrowAcrossInvitations) {
    EXPECT_EQ(pendingRequest(issue()), 1u);
    host.deny(1);
    EXPECT_EQ(pendingRequest(issue()), 2u);
    host.cancel();
    EXPECT_EQ(pendingRequest(issue()), 3u);
    EXPECT_EQ(host.approve(2, clientDevice, t0 + 2), std::nullopt);
    EXPECT_TRUE(host.approve(3, clientDevice, t0 + 2).has_value());
}

TEST_F(HostEnrollmentTest, CancelRefusesAPendingRequest) {
    const Invitation invitation = issue();
    pendingRequest(invitation);
    EXPECT_EQ(host.cancel(), HostEnrollment::Completion(HostEnrollment::Refused{
                                 {invitation.invitationID, EnrollmentOutcome::cancelled, Digest32::zero()}}));
    EXPECT_EQ(host.pending(), std::nullopt);
    EXPECT_EQ(host.cancel(), std::nullopt);
}

TEST_F(HostEnrollmentTest, CancelWithNothingPendingWithdrawsTheInvitation) {
    const Invitation invitation = issue();
    EXPECT_EQ(host.cancel(), std::nullopt);
    EXPECT_EQ(host.activeInvitation(), std::nullopt);
    EXPECT_EQ(send(request(invitation)), refused(invitation.invitationID, EnrollmentOutcome::invalidProof));
}

TEST_F(HostEnrollmentTest, ANewInvitationDropsAPendingRequestSilently) {
    const std::uint64_t token = pendingRequest(issue());
    const Invitation second = issue(t0 + 5);
    EXPECT_EQ(host.pending(), std::nullopt);
    EXPECT_EQ(host.deny(token), std::nullopt);
    EXPECT_EQ(host.activeInvitation(), second);
}

TEST_F(HostEnrollmentTest, WithdrawingKeepsAPendingRequestRefusable) {
    const Invitation invitation = issue();
    const std::uint64_t token = pendingRequest(invitation);
    host.withdrawInvitation();
    EXPECT_TRUE(host.pending().has_value());
    EXPECT_EQ(host.approve(token, clientDevice, t0 + 2), std::nullopt);
    EXPECT_EQ(host.cancel(), HostEnrollment::Completion(HostEnrollment::Refused{
                                 {invitation.invitationID, EnrollmentOutcome::cancelled, Digest32::zero()}}));
}

TEST_F(HostEnrollmentTest, AHugeApprovalTimeoutDoesNotWrapTheDeadline) {
    HostEnrollment patient(crypto, hostFingerprint, u64max);
    const Invitation invitation = *patient.issueInvitation(t0, 300, 1, "a", "b");
    patient.handle(request(invitation), clientFingerprint, t0 + 1);
    EXPECT_EQ(patient.pending()->deadline, u64max);
    EXPECT_EQ(patient.expire(t0 + 2), std::nullopt);
    const auto completion = patient.approve(1, clientDevice, t0 + 2);
    ASSERT_TRUE(completion.has_value());
    EXPECT_TRUE(std::holds_alternative<HostEnrollment::Approved>(*completion));
}

} // namespace
} // namespace quillmere
