// The host and client halves of pairing run against each other, with the
// invitation passed as text, and the results go into each side's trust store.
#include "QuillmereWire/ClientEnrollment.h"
#include "QuillmereWire/HostEnrollment.h"
#include "QuillmereWire/TrustStore.h"

#include "PairingTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using pairingtest::filled;
using pairingtest::MemoryTrustStorage;
using pairingtest::TestPairingCrypto;
using State = ClientEnrollment::State;

constexpr std::uint64_t t0 = 1'760'000'000;

class PairingExchange : public ::testing::Test {
protected:
    std::shared_ptr<TestPairingCrypto> hostCrypto = std::make_shared<TestPairingCrypto>();
    std::shared_ptr<TestPairingCrypto> clientCrypto = std::make_shared<TestPairingCrypto>();
    Digest32 hostFingerprint = filled<Digest32>(0x80);
    WireID hostDeviceID = filled<WireID>(0x80); // the first 16 bytes of its fingerprint
    Digest32 phoneFingerprint = filled<Digest32>(0x40);
    WireID phoneDeviceID = filled<WireID>(0x30);
    HostEnrollment host{hostCrypto, hostFingerprint, 120};
    std::string invitationText;

    void SetUp() override {
        const auto invitation = host.issueInvitation(t0, 300, 50123, "fe80::1%en0", "Studio Mac");
        ASSERT_TRUE(invitation.has_value());
        invitationText = *invitation->encoded();
    }

    struct Scanned {
        ClientEnrollment client;
        msg::EnrollRequest request;
    };

    // A client that scanned text at now, reached a host presenting presented and built its request.
    Scanned scan(const std::string& text, const Digest32& presented, std::uint64_t now) {
        const auto invitation = Invitation::fromText(text);
        EXPECT_TRUE(invitation.has_value());
        auto client = *ClientEnrollment::start(clientCrypto, *invitation, now);
        EXPECT_TRUE(client.verifyHost(presented));
        const auto request = client.makeRequest(phoneFingerprint, "Anna's phone");
        EXPECT_TRUE(request.has_value());
        return {std::move(client), *request};
    }

    ClientEnrollment scanAndRequest(const std::string& text, const Digest32& presented, std::uint64_t now,
                                    HostEnrollment::Step& answer) {
        auto [client, request] = scan(text, presented, now);
        answer = host.handle(request, phoneFingerprint, now);
        return std::move(client);
    }

    struct Prompted {
        ClientEnrollment client;
        std::uint64_t token = 0;
    };

    // Runs the current invitation up to the user's prompt.
    Prompted untilPrompt(std::uint64_t now) {
        HostEnrollment::Step answer;
        auto client = scanAndRequest(invitationText, hostFingerprint, now, answer);
        const auto* wait = std::get_if<HostEnrollment::AwaitApproval>(&answer);
        EXPECT_NE(wait, nullptr);
        if (!wait) return {std::move(client), 0};
        client.handle(wait->message, hostDeviceID, now);
        return {std::move(client), wait->pending.token};
    }

    static State rejected(EnrollmentOutcome outcome) {
        return ClientEnrollment::Failed{EnrollmentError::rejected(outcome)};
    }

    static const ControlMessage& messageOf(const HostEnrollment::Step& step) {
        return std::visit([](const auto& s) -> const ControlMessage& { return s.message; }, step);
    }

    static const msg::EnrollResult& resultOf(const HostEnrollment::Completion& completion) {
        return std::visit([](const auto& c) -> const msg::EnrollResult& { return c.result; }, completion);
    }
};

TEST_F(PairingExchange, BothSidesEndPairedWithEachOthersFingerprints) {
    HostEnrollment::Step answer;
    auto client = scanAndRequest(invitationText, hostFingerprint, t0 + 3, answer);
    const auto* wait = std::get_if<HostEnrollment::AwaitApproval>(&answer);
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(wait->pending.deviceName, "Anna's phone");
    EXPECT_EQ(client.handle(wait->message, hostDeviceID, t0 + 3), State(ClientEnrollment::AwaitingApproval{}));

    const auto completion = host.approve(wait->pending.token, phoneDeviceID, t0 + 20);
    ASSERT_TRUE(completion.has_value());
    const auto* approved = std::get_if<HostEnrollment::Approved>(&*completion);
    ASSERT_NE(approved, nullptr);
    const State& final = client.handle(approved->result, hostDeviceID, t0 + 21);
    const auto* paired = std::get_if<ClientEnrollment::Paired>(&final);
    ASSERT_NE(paired, nullptr);

    EXPECT_EQ(approved->peer, TrustedPeer(phoneDeviceID, phoneFingerprint, "Anna's phone", PeerRole::client, t0 + 20));
    EXPECT_EQ(paired->host, TrustedPeer(hostDeviceID, hostFingerprint, "Studio Mac", PeerRole::host, t0 + 21));

    // Each side keeps the other, and finds it again after a restart.
    auto hostStorage = std::make_shared<MemoryTrustStorage::State>();
    auto phoneStorage = std::make_shared<MemoryTrustStorage::State>();
    ASSERT_TRUE(TrustStore::open(std::make_unique<MemoryTrustStorage>(hostStorage))->add(approved->peer));
    ASSERT_TRUE(TrustStore::open(std::make_unique<MemoryTrustStorage>(phoneStorage))->add(paired->host));
    EXPECT_TRUE(TrustStore::open(std::make_unique<MemoryTrustStorage>(hostStorage))->isTrusted(phoneFingerprint));
    EXPECT_TRUE(TrustStore::open(std::make_unique<MemoryTrustStorage>(phoneStorage))->isTrusted(hostFingerprint));
}

// A client holding a forged secret: wrong proofs until the fifth ends the invitation.
TEST_F(PairingExchange, WrongProofsEndTheInvitationAtTheFifth) {
    Invitation forged = *Invitation::fromText(invitationText);
    forged.secret = filled<Digest32>(0x13);
    const std::string forgedText = *forged.encoded();
    for (int attempt = 1; attempt <= 5; ++attempt) {
        HostEnrollment::Step answer;
        auto client = scanAndRequest(forgedText, hostFingerprint, t0 + attempt, answer);
        ASSERT_TRUE(std::holds_alternative<HostEnrollment::Finish>(answer));
        EXPECT_EQ(client.handle(messageOf(answer), hostDeviceID, t0 + attempt),
                  State(ClientEnrollment::Failed{EnrollmentError::rejected(EnrollmentOutcome::invalidProof)}));
        EXPECT_EQ(host.activeInvitation().has_value(), attempt < 5) << attempt;
    }
    // The genuine invitation is gone too.
    HostEnrollment::Step answer;
    auto genuine = scanAndRequest(invitationText, hostFingerprint, t0 + 6, answer);
    EXPECT_EQ(genuine.handle(messageOf(answer), hostDeviceID, t0 + 6),
              State(ClientEnrollment::Failed{EnrollmentError::rejected(EnrollmentOutcome::invalidProof)}));
}

TEST_F(PairingExchange, ExpiryAtTheExactSecond) {
    const std::uint64_t expiresAt = t0 + 300;
    // The client starts in the last valid second; its request reaches the host as expiry arrives.
    auto [client, request] = scan(invitationText, hostFingerprint, expiresAt - 1);
    const auto answer = host.handle(request, phoneFingerprint, expiresAt);
    EXPECT_EQ(client.handle(messageOf(answer), hostDeviceID, expiresAt), rejected(EnrollmentOutcome::expired));
    EXPECT_FALSE(host.activeInvitation().has_value());
    // A client scanning it now does not even start.
    EXPECT_EQ(ClientEnrollment::start(clientCrypto, *Invitation::fromText(invitationText), expiresAt).error(),
              EnrollmentError::expired());
}

TEST_F(PairingExchange, TheApprovalDeadlinePasses) {
    auto [client, token] = untilPrompt(t0 + 1);
    EXPECT_EQ(host.expire(t0 + 120), std::nullopt);
    const auto completion = host.approve(token, phoneDeviceID, t0 + 121);
    ASSERT_TRUE(completion.has_value());
    ASSERT_TRUE(std::holds_alternative<HostEnrollment::Refused>(*completion));
    EXPECT_EQ(client.handle(resultOf(*completion), hostDeviceID, t0 + 121), rejected(EnrollmentOutcome::expired));
}

TEST_F(PairingExchange, Denial) {
    auto [client, token] = untilPrompt(t0 + 1);
    const auto completion = host.deny(token);
    ASSERT_TRUE(completion.has_value());
    EXPECT_EQ(client.handle(resultOf(*completion), hostDeviceID, t0 + 9), rejected(EnrollmentOutcome::denied));
    EXPECT_EQ(host.approve(token, phoneDeviceID, t0 + 10), std::nullopt);
}

TEST_F(PairingExchange, CancellationOnEitherSide) {
    auto [client, token] = untilPrompt(t0 + 1);
    const auto completion = host.cancel();
    ASSERT_TRUE(completion.has_value());
    EXPECT_EQ(client.handle(resultOf(*completion), hostDeviceID, t0 + 2), rejected(EnrollmentOutcome::cancelled));

    // The client gives up: a late approval changes nothing on its side.
    invitationText = *host.issueInvitation(t0 + 10, 300, 50123, "10.0.0.1", "Studio Mac")->encoded();
    auto [quitter, nextToken] = untilPrompt(t0 + 11);
    quitter.cancel();
    const auto late = host.approve(nextToken, phoneDeviceID, t0 + 12);
    ASSERT_TRUE(late.has_value());
    EXPECT_EQ(quitter.handle(resultOf(*late), hostDeviceID, t0 + 12), State(ClientEnrollment::Cancelled{}));
}

TEST_F(PairingExchange, ARequestNamingAnotherInvitation) {
    const std::string oldText = invitationText;
    ASSERT_TRUE(host.issueInvitation(t0 + 5, 300, 50123, "10.0.0.1", "Studio Mac").has_value());
    HostEnrollment::Step answer;
    auto client = scanAndRequest(oldText, hostFingerprint, t0 + 6, answer);
    ASSERT_TRUE(std::holds_alternative<HostEnrollment::Finish>(answer));
    EXPECT_EQ(client.handle(messageOf(answer), hostDeviceID, t0 + 6), rejected(EnrollmentOutcome::invalidProof));
    // The new invitation is still whole: that request did not count against it.
    EXPECT_TRUE(host.activeInvitation().has_value());
}

} // namespace
} // namespace quillmere
