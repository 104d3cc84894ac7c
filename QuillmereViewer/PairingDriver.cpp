#include "QuillmereViewer/PairingDriver.h"

#include "QuillmereViewer/CloseReasonText.h"
#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

namespace quillmere {

EnrollmentResult<PairingDriver> PairingDriver::start(std::shared_ptr<PairingCrypto> crypto, Invitation invitation,
                                                     Settings settings, std::uint64_t now) {
    auto enrollment = ClientEnrollment::start(crypto, std::move(invitation), now);
    if (!enrollment) return std::unexpected(enrollment.error());
    return PairingDriver(std::move(crypto), std::move(*enrollment), std::move(settings));
}

std::string PairingDriver::describe(const EnrollmentError& error) {
    using Kind = EnrollmentError::Kind;
    switch (error.kind()) {
    case Kind::rejected:
        switch (error.outcome()) {
        case EnrollmentOutcome::denied: return "the host's user denied the pairing";
        case EnrollmentOutcome::expired: return "the approval ran out on the host";
        case EnrollmentOutcome::alreadyUsed: return "the invitation was already used";
        case EnrollmentOutcome::invalidProof: return "the host did not accept this viewer's proof of the invitation";
        case EnrollmentOutcome::cancelled: return "the pairing was cancelled on the host";
        case EnrollmentOutcome::approved: break;
        }
        break;
    case Kind::expired: return "the invitation has expired; show a new code on the host";
    case Kind::hostFingerprintMismatch: return "the host's fingerprint does not match the invitation";
    case Kind::invitationMismatch: return "the host answered for another invitation";
    case Kind::hostProofInvalid: return "the host's proof does not match the invitation";
    case Kind::unexpectedMessage: return "the host sent an unexpected message";
    default: break;
    }
    return fmt::format("pairing failed: {}", error.description());
}

bool PairingDriver::awaitingApproval() const {
    return std::holds_alternative<ClientEnrollment::AwaitingApproval>(enrollment_.state());
}

void PairingDriver::fail(std::string text) {
    if (!outcome_) outcome_ = std::unexpected(std::move(text));
    enrollment_.cancel();
}

std::vector<ControlMessage> PairingDriver::connected(const std::optional<Digest32>& fingerprint) {
    if (outcome_ || helloSent_) return {};
    if (!fingerprint) {
        fail("the host presented no P-256 certificate");
        return {};
    }
    if (!enrollment_.verifyHost(*fingerprint)) {
        follow();
        return {};
    }
    helloSent_ = true;
    WireID nonce;
    if (auto random = crypto_->randomBytes(WireID::byteCount)) nonce = *WireID::fromBytes(*random);
    return {Hello{WireProtocol::majorVersion, WireProtocol::minorVersion, PeerRole::client, settings_.deviceID, nonce,
                  settings_.deviceName}};
}

std::vector<ControlMessage> PairingDriver::received(const ControlMessage& message, std::uint64_t now) {
    if (outcome_) return {};
    if (const auto* error = message.as<msg::Error>()) {
        fail(fmt::format("the host refused the pairing: {}", error->reason));
        return {};
    }
    if (!hostDeviceID_) {
        const auto* hello = message.as<Hello>();
        if (hello == nullptr) {
            fail(fmt::format("the host answered with {} before its hello", message.caseName()));
            return {};
        }
        if (hello->role != PeerRole::host || hello->major != WireProtocol::majorVersion) {
            fail(fmt::format("the peer's hello is not that of a host of version {}", WireProtocol::majorVersion));
            return {};
        }
        hostDeviceID_ = hello->deviceID;
        auto request = enrollment_.makeRequest(settings_.clientFingerprint, settings_.deviceName);
        if (!request) {
            fail(describe(request.error()));
            return {};
        }
        return {ControlMessage(std::move(*request))};
    }
    enrollment_.handle(message, *hostDeviceID_, now);
    follow();
    return {};
}

void PairingDriver::follow() {
    const auto& state = enrollment_.state();
    if (const auto* paired = std::get_if<ClientEnrollment::Paired>(&state)) outcome_ = paired->host;
    else if (const auto* failed = std::get_if<ClientEnrollment::Failed>(&state)) outcome_ = std::unexpected(describe(failed->error));
}

std::string PairingDriver::unreached(const PeerCloseReason& reason) {
    return fmt::format("could not reach the host: {}", closeReasonText(reason));
}

void PairingDriver::connectionClosed(const PeerCloseReason& reason) {
    if (outcome_) return;
    if (!helloSent_) fail(unreached(reason));
    else if (awaitingApproval()) fail("the host closed the connection before the pairing was approved");
    else fail(fmt::format("the host closed the pairing connection: {}", closeReasonText(reason)));
}

} // namespace quillmere
