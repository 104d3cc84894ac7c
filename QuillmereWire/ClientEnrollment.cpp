#include "QuillmereWire/ClientEnrollment.h"

#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/EnrollmentProof.h"

namespace quillmere {

EnrollmentResult<ClientEnrollment> ClientEnrollment::start(std::shared_ptr<PairingCrypto> crypto,
                                                           Invitation invitation, std::uint64_t now) {
    if (now >= invitation.expiresAt) return std::unexpected(EnrollmentError::expired());
    return ClientEnrollment(std::move(crypto), std::move(invitation));
}

bool ClientEnrollment::isFinished() const {
    return std::holds_alternative<Paired>(state_) || std::holds_alternative<Failed>(state_) ||
           std::holds_alternative<Cancelled>(state_);
}

bool ClientEnrollment::verifyHost(const Digest32& fingerprint) {
    if (!std::holds_alternative<AwaitingHostVerification>(state_)) return false;
    if (!fingerprint.constantTimeEquals(invitation_.hostFingerprint)) {
        state_ = Failed{EnrollmentError::hostFingerprintMismatch()};
        return false;
    }
    state_ = HostVerified{};
    return true;
}

EnrollmentResult<msg::EnrollRequest> ClientEnrollment::makeRequest(const Digest32& clientFingerprint,
                                                                   std::string_view deviceName) {
    if (!std::holds_alternative<HostVerified>(state_)) return std::unexpected(EnrollmentError::invalidState());
    clientFingerprint_ = clientFingerprint;
    state_ = Requested{};
    const Digest32 proof = EnrollmentProof::client(*crypto_, invitation_.secret, invitation_.invitationID,
                                                   clientFingerprint, invitation_.hostFingerprint);
    return msg::EnrollRequest{invitation_.invitationID, proof, truncatedUTF8(deviceName, TrustedPeer::maxNameBytes)};
}

const ClientEnrollment::State& ClientEnrollment::handle(const ControlMessage& message, const WireID& hostDeviceID,
                                                        std::uint64_t now) {
    if (isFinished()) return state_;
    const bool requested = std::holds_alternative<Requested>(state_);
    const bool awaiting = std::holds_alternative<AwaitingApproval>(state_);
    if (const auto* pending = message.as<msg::EnrollPending>(); pending && requested) {
        state_ = pending->invitationID == invitation_.invitationID ? State(AwaitingApproval{})
                                                                    : State(Failed{EnrollmentError::invitationMismatch()});
    } else if (const auto* result = message.as<msg::EnrollResult>(); result && (requested || awaiting)) {
        state_ = judge(*result, hostDeviceID, now);
    } else {
        state_ = Failed{EnrollmentError::unexpectedMessage()};
    }
    return state_;
}

ClientEnrollment::State ClientEnrollment::judge(const msg::EnrollResult& result, const WireID& hostDeviceID,
                                                std::uint64_t now) const {
    if (result.invitationID != invitation_.invitationID) return Failed{EnrollmentError::invitationMismatch()};
    if (result.outcome != EnrollmentOutcome::approved) return Failed{EnrollmentError::rejected(result.outcome)};
    if (!clientFingerprint_) return Failed{EnrollmentError::invalidState()};
    const Digest32 expected = EnrollmentProof::host(*crypto_, invitation_.secret, result.invitationID,
                                                    *clientFingerprint_, invitation_.hostFingerprint);
    if (!EnrollmentProof::matches(result.hostProof, expected)) return Failed{EnrollmentError::hostProofInvalid()};
    return Paired{TrustedPeer(hostDeviceID, invitation_.hostFingerprint, invitation_.hostName, PeerRole::host, now)};
}

void ClientEnrollment::cancel() {
    if (!isFinished()) state_ = Cancelled{};
}

} // namespace quillmere
