#include "QuillmereWire/HostEnrollment.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/EnrollmentProof.h"

#include <algorithm>
#include <limits>

namespace quillmere {

namespace {

constexpr std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

HostEnrollment::Finish refusal(const WireID& invitationID, EnrollmentOutcome outcome) {
    return {msg::EnrollResult{invitationID, outcome, Digest32::zero()}};
}

template <std::size_t N, class Tag>
std::optional<FixedBytes<N, Tag>> drawRandom(PairingCrypto& crypto) {
    auto bytes = crypto.randomBytes(N);
    if (!bytes || bytes->size() != N) return std::nullopt;
    return *FixedBytes<N, Tag>::fromBytes(viewOf(*bytes));
}

} // namespace

HostEnrollment::HostEnrollment(std::shared_ptr<PairingCrypto> crypto, const Digest32& hostFingerprint,
                               std::uint64_t approvalTimeoutSeconds)
    : crypto_(std::move(crypto)), hostFingerprint_(hostFingerprint), approvalTimeoutSeconds_(approvalTimeoutSeconds) {}

std::optional<Invitation> HostEnrollment::activeInvitation() const {
    if (!active_ || active_->consumed) return std::nullopt;
    return active_->invitation;
}

EnrollmentResult<Invitation> HostEnrollment::issueInvitation(std::uint64_t now, std::uint32_t lifetimeSeconds,
                                                             std::uint16_t port, std::string_view address,
                                                             std::string_view hostName) {
    auto id = drawRandom<WireID::byteCount, WireIDTag>(*crypto_);
    if (!id) return std::unexpected(EnrollmentError::randomFailure());
    auto secret = drawRandom<Digest32::byteCount, Digest32Tag>(*crypto_);
    if (!secret) return std::unexpected(EnrollmentError::randomFailure());

    const std::uint32_t lifetime = std::clamp<std::uint32_t>(lifetimeSeconds, 1, Invitation::maxLifetimeSeconds);
    const std::uint64_t expiry = std::min<std::uint64_t>(saturatingAdd(now, lifetime),
                                                         std::numeric_limits<std::uint32_t>::max());
    Invitation invitation{
        .invitationID = *id,
        .hostFingerprint = hostFingerprint_,
        .secret = *secret,
        .expiresAt = static_cast<std::uint32_t>(expiry),
        .port = port,
        .address = truncatedUTF8(address, Invitation::maxAddressBytes),
        .hostName = truncatedUTF8(hostName, Invitation::maxHostNameBytes),
    };
    active_ = Active{invitation, 0, false};
    pending_.reset();
    pendingInvitation_.reset();
    return invitation;
}

HostEnrollment::Step HostEnrollment::handle(const ControlMessage& message, const Digest32& clientFingerprint,
                                            std::uint64_t now) {
    const auto* request = message.as<msg::EnrollRequest>();
    if (!request) {
        return Finish{msg::Error{ErrorCode::protocolViolation, std::string(channelErrorReason)}};
    }
    return handleRequest(*request, clientFingerprint, now);
}

HostEnrollment::Step HostEnrollment::handleRequest(const msg::EnrollRequest& request,
                                                   const Digest32& clientFingerprint, std::uint64_t now) {
    if (!active_ || request.invitationID != active_->invitation.invitationID) {
        return refusal(request.invitationID, EnrollmentOutcome::invalidProof);
    }
    if (now >= active_->invitation.expiresAt) {
        active_.reset();
        return refusal(request.invitationID, EnrollmentOutcome::expired);
    }
    if (active_->consumed || pending_) return refusal(request.invitationID, EnrollmentOutcome::alreadyUsed);

    const Digest32 expected = EnrollmentProof::client(*crypto_, active_->invitation.secret, request.invitationID,
                                                      clientFingerprint, hostFingerprint_);
    if (!EnrollmentProof::matches(request.proof, expected)) {
        active_->attempts += 1;
        if (active_->attempts >= maxWrongProofs) active_.reset();
        return refusal(request.invitationID, EnrollmentOutcome::invalidProof);
    }

    // The invitation stays in active_: approving needs its secret.
    active_->consumed = true;
    PendingApproval pending{
        .token = nextToken_++,
        .deviceName = request.deviceName,
        .clientFingerprint = clientFingerprint,
        .deadline = saturatingAdd(now, approvalTimeoutSeconds_),
    };
    pending_ = pending;
    pendingInvitation_ = request.invitationID;
    return AwaitApproval{msg::EnrollPending{request.invitationID}, std::move(pending)};
}

std::optional<HostEnrollment::Completion> HostEnrollment::approve(std::uint64_t token, const WireID& deviceID,
                                                                  std::uint64_t now) {
    if (!pending_ || pending_->token != token || !pendingInvitation_ || !active_) return std::nullopt;
    if (now >= pending_->deadline) return expire(now);

    const Digest32 secret = active_->invitation.secret;
    const WireID invitationID = *pendingInvitation_;
    const PendingApproval pending = std::move(*pending_);
    pending_.reset();
    pendingInvitation_.reset();
    active_.reset();

    const Digest32 proof =
        EnrollmentProof::host(*crypto_, secret, invitationID, pending.clientFingerprint, hostFingerprint_);
    return Approved{
        msg::EnrollResult{invitationID, EnrollmentOutcome::approved, proof},
        TrustedPeer(deviceID, pending.clientFingerprint, pending.deviceName, PeerRole::client, now),
    };
}

std::optional<HostEnrollment::Completion> HostEnrollment::deny(std::uint64_t token) {
    if (!pending_ || pending_->token != token) return std::nullopt;
    return finish(EnrollmentOutcome::denied);
}

std::optional<HostEnrollment::Completion> HostEnrollment::expire(std::uint64_t now) {
    if (!pending_ || now < pending_->deadline) return std::nullopt;
    return finish(EnrollmentOutcome::expired);
}

std::optional<HostEnrollment::Completion> HostEnrollment::cancel() {
    if (!pending_) {
        active_.reset();
        return std::nullopt;
    }
    return finish(EnrollmentOutcome::cancelled);
}

std::optional<HostEnrollment::Completion> HostEnrollment::finish(EnrollmentOutcome outcome) {
    if (!pendingInvitation_) return std::nullopt;
    const WireID invitationID = *pendingInvitation_;
    pending_.reset();
    pendingInvitation_.reset();
    active_.reset();
    return Refused{msg::EnrollResult{invitationID, outcome, Digest32::zero()}};
}

} // namespace quillmere
