#pragma once

#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/EnrollmentError.h"
#include "QuillmereWire/Invitation.h"
#include "QuillmereWire/PairingCrypto.h"
#include "QuillmereWire/TrustedPeer.h"
#include "QuillmereWire/WireID.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>

namespace quillmere {

// The client's half of pairing: pins the host named by the invitation, sends
// the client proof and checks the host proof. Time is Unix seconds passed in.
class ClientEnrollment {
public:
    struct Paired { // final: the host's record
        TrustedPeer host;
        bool operator==(const Paired&) const = default;
    };
    struct Failed { // final
        EnrollmentError error;
        bool operator==(const Failed&) const = default;
    };
    struct AwaitingHostVerification { bool operator==(const AwaitingHostVerification&) const = default; };
    struct HostVerified { bool operator==(const HostVerified&) const = default; };
    struct Requested { bool operator==(const Requested&) const = default; };
    struct AwaitingApproval { bool operator==(const AwaitingApproval&) const = default; };
    struct Cancelled { bool operator==(const Cancelled&) const = default; }; // final
    using State = std::variant<Paired, Failed, AwaitingHostVerification, HostVerified, Requested, AwaitingApproval,
                               Cancelled>;

    // expired when now is at or past the invitation's expiry. crypto must not be null.
    static EnrollmentResult<ClientEnrollment> start(std::shared_ptr<PairingCrypto> crypto, Invitation invitation,
                                                    std::uint64_t now);

    const Invitation& invitation() const { return invitation_; }
    const State& state() const { return state_; }
    const std::optional<Digest32>& clientFingerprint() const { return clientFingerprint_; }
    bool isFinished() const;

    // Only before the first comparison; a mismatch fails the enrollment.
    bool verifyHost(const Digest32& fingerprint);
    // Only once the host is verified; the name is cut to 64 bytes.
    EnrollmentResult<msg::EnrollRequest> makeRequest(const Digest32& clientFingerprint, std::string_view deviceName);
    // hostDeviceID is what the host's record is stored under.
    const State& handle(const ControlMessage& message, const WireID& hostDeviceID, std::uint64_t now);
    void cancel();

private:
    ClientEnrollment(std::shared_ptr<PairingCrypto> crypto, Invitation invitation)
        : crypto_(std::move(crypto)), invitation_(std::move(invitation)), state_(AwaitingHostVerification{}) {}

    State judge(const msg::EnrollResult& result, const WireID& hostDeviceID, std::uint64_t now) const;

    std::shared_ptr<PairingCrypto> crypto_;
    Invitation invitation_;
    State state_;
    std::optional<Digest32> clientFingerprint_;
};

} // namespace quillmere
