// The client's pairing steps against the host's own enrollment logic, with
// real HMAC-SHA256: a full pairing, and each way it can fail.

#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "QuillmereViewer/PairingDriver.h"
#include "QuillmereWire/HostEnrollment.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

constexpr std::uint64_t now = 1'750'000'000;

Digest32 digest(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes{};
    bytes.fill(fill);
    return Digest32(bytes);
}

WireID identifier(std::uint8_t fill) {
    std::array<std::uint8_t, 16> bytes{};
    bytes.fill(fill);
    return WireID(bytes);
}

class PairingDriverTest : public ::testing::Test {
protected:
    PairingDriverTest() {
        auto issued = host.issueInvitation(now, 300, 4433, "127.0.0.1", "Studio Mac");
        invitation = *issued;
    }

    PairingDriver start(Invitation which) {
        auto started = PairingDriver::start(crypto, std::move(which),
                                            PairingDriver::Settings{clientFingerprint, deviceID, "Bench phone"}, now);
        EXPECT_TRUE(started);
        return std::move(*started);
    }

    // Hands every client message to the host; returns the host's answers.
    std::vector<ControlMessage> toHost(const std::vector<ControlMessage>& messages) {
        std::vector<ControlMessage> answers;
        for (const auto& message : messages) {
            if (const auto* hello = message.as<Hello>()) {
                clientHello = *hello;
                answers.push_back(Hello{1, 0, PeerRole::host, hostDeviceID, hostDeviceID, "Studio Mac"});
                continue;
            }
            const auto step = host.handle(message, clientFingerprint, now);
            std::visit([&](const auto& s) { answers.push_back(s.message); }, step);
            if (const auto* awaiting = std::get_if<HostEnrollment::AwaitApproval>(&step)) token = awaiting->pending.token;
        }
        return answers;
    }

    std::vector<ControlMessage> toClient(PairingDriver& driver, const std::vector<ControlMessage>& messages) {
        std::vector<ControlMessage> replies;
        for (const auto& message : messages) {
            auto more = driver.received(message, now);
            replies.insert(replies.end(), more.begin(), more.end());
        }
        return replies;
    }

    std::shared_ptr<PairingCrypto> crypto = std::make_shared<SystemPairingCrypto>();
    HostEnrollment host{crypto, digest(0xAB), 120};
    Invitation invitation;
    Digest32 clientFingerprint = digest(0xC1);
    WireID deviceID = identifier(0xD1);
    WireID hostDeviceID = identifier(0xAB);
    std::optional<Hello> clientHello;
    std::uint64_t token = 0;
};

TEST_F(PairingDriverTest, AFullPairingYieldsTheHostsRecord) {
    PairingDriver driver = start(invitation);
    auto hello = driver.connected(invitation.hostFingerprint);
    ASSERT_EQ(hello.size(), 1u);
    auto request = toClient(driver, toHost(hello));
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(clientHello->role, PeerRole::client);
    EXPECT_EQ(clientHello->deviceID, deviceID);
    EXPECT_EQ(clientHello->name, "Bench phone");
    EXPECT_TRUE(request[0].is<msg::EnrollRequest>());

    EXPECT_TRUE(toClient(driver, toHost(request)).empty());
    EXPECT_TRUE(driver.awaitingApproval());
    EXPECT_FALSE(driver.outcome());

    auto approved = host.approve(token, deviceID, now);
    ASSERT_TRUE(approved);
    const auto& completion = std::get<HostEnrollment::Approved>(*approved);
    EXPECT_EQ(completion.peer.deviceID, deviceID) << "the host keeps us under the identifier of our hello";
    EXPECT_EQ(completion.peer.fingerprint, clientFingerprint);
    toClient(driver, {completion.result});

    ASSERT_TRUE(driver.outcome());
    ASSERT_TRUE(*driver.outcome()) << driver.outcome()->error();
    const TrustedPeer& paired = **driver.outcome();
    EXPECT_EQ(paired.deviceID, hostDeviceID);
    EXPECT_EQ(paired.fingerprint, invitation.hostFingerprint);
    EXPECT_EQ(paired.name, "Studio Mac");
    EXPECT_EQ(paired.role, PeerRole::host);
    EXPECT_EQ(paired.pairedAt, now);
}

TEST_F(PairingDriverTest, AnotherHostsFingerprintStopsBeforeAnythingIsSent) {
    PairingDriver driver = start(invitation);
    EXPECT_TRUE(driver.connected(digest(0x00)).empty());
    ASSERT_TRUE(driver.outcome());
    EXPECT_EQ(driver.outcome()->error(), "the host's fingerprint does not match the invitation");
    EXPECT_TRUE(driver.connected(std::nullopt).empty());
}

TEST_F(PairingDriverTest, DenialAndRefusalsAreTheUsersWords) {
    PairingDriver driver = start(invitation);
    toClient(driver, toHost(toClient(driver, toHost(driver.connected(invitation.hostFingerprint)))));
    auto denied = host.deny(token);
    ASSERT_TRUE(denied);
    toClient(driver, {std::get<HostEnrollment::Refused>(*denied).result});
    EXPECT_EQ(driver.outcome()->error(), "the host's user denied the pairing");

    PairingDriver refused = start(invitation);
    refused.connected(invitation.hostFingerprint);
    toClient(refused, {msg::Error{ErrorCode::protocolViolation, "enrollment channel"}});
    EXPECT_EQ(refused.outcome()->error(), "the host refused the pairing: enrollment channel");
}

TEST_F(PairingDriverTest, AWrongSecretIsNotAcceptedByTheHost) {
    Invitation forged = invitation;
    forged.secret = digest(0x55);
    PairingDriver driver = start(forged);
    auto answers = toHost(toClient(driver, toHost(driver.connected(invitation.hostFingerprint))));
    toClient(driver, answers);
    ASSERT_TRUE(driver.outcome());
    EXPECT_FALSE(*driver.outcome());
    EXPECT_EQ(driver.outcome()->error(), "the host did not accept this viewer's proof of the invitation");
}

TEST_F(PairingDriverTest, AnExpiredInvitationDoesNotStart) {
    auto started = PairingDriver::start(crypto, invitation, {clientFingerprint, deviceID, "x"}, invitation.expiresAt);
    ASSERT_FALSE(started);
    EXPECT_EQ(PairingDriver::describe(started.error()), "the invitation has expired; show a new code on the host");
}

TEST_F(PairingDriverTest, AClosedConnectionSaysHowFarPairingGot) {
    PairingDriver unreached = start(invitation);
    unreached.connectionClosed(PeerCloseReason::failed("handshake timeout"));
    EXPECT_EQ(unreached.outcome()->error(), "could not reach the host: handshake timeout");

    PairingDriver waiting = start(invitation);
    toClient(waiting, toHost(toClient(waiting, toHost(waiting.connected(invitation.hostFingerprint)))));
    ASSERT_TRUE(waiting.awaitingApproval());
    waiting.connectionClosed(PeerCloseReason::remote());
    EXPECT_EQ(waiting.outcome()->error(), "the host closed the connection before the pairing was approved");
}

TEST_F(PairingDriverTest, AnAnswerOtherThanTheHostsHelloFails) {
    PairingDriver driver = start(invitation);
    driver.connected(invitation.hostFingerprint);
    EXPECT_TRUE(toClient(driver, {Hello{1, 0, PeerRole::client, {}, {}, "imposter"}}).empty());
    EXPECT_EQ(driver.outcome()->error(), "the peer's hello is not that of a host of version 1");
    PairingDriver early = start(invitation);
    early.connected(invitation.hostFingerprint);
    toClient(early, {msg::EnrollPending{invitation.invitationID}});
    EXPECT_EQ(early.outcome()->error(), "the host answered with enrollPending before its hello");
}

} // namespace
} // namespace quillmere
