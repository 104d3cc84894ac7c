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
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

// The host's half of pairing: issues invitations, checks the client's proof,
// holds a proven request until the user decides, and answers with the host
// proof. Time is Unix seconds passed in; nothing is sent from here.
class HostEnrollment {
public:
    static constexpr int maxWrongProofs = 5;
    static constexpr std::string_view channelErrorReason = "enrollment channel";

    struct Active {
        Invitation invitation;
        int attempts = 0;      // wrong proofs so far
        bool consumed = false; // a correct proof has used it
        bool operator==(const Active&) const = default;
    };

    struct PendingApproval {
        std::uint64_t token = 0; // names this request in the user's decision
        std::string deviceName;  // as the client sent it
        Digest32 clientFingerprint;
        std::uint64_t deadline = 0; // Unix seconds
        bool operator==(const PendingApproval&) const = default;
    };

    // What to do with the answer to one received message.
    struct Reply { // send, keep the connection open
        ControlMessage message;
        bool operator==(const Reply&) const = default;
    };
    struct AwaitApproval { // send, then ask the user about pending
        ControlMessage message;
        PendingApproval pending;
        bool operator==(const AwaitApproval&) const = default;
    };
    struct Finish { // send, then close the connection
        ControlMessage message;
        bool operator==(const Finish&) const = default;
    };
    using Step = std::variant<Reply, AwaitApproval, Finish>;

    // How a pending request ended.
    struct Approved {
        msg::EnrollResult result;
        TrustedPeer peer; // to add to the trust store
        bool operator==(const Approved&) const = default;
    };
    struct Refused {
        msg::EnrollResult result;
        bool operator==(const Refused&) const = default;
    };
    using Completion = std::variant<Approved, Refused>;

    // crypto must not be null.
    HostEnrollment(std::shared_ptr<PairingCrypto> crypto, const Digest32& hostFingerprint,
                   std::uint64_t approvalTimeoutSeconds);

    const Digest32& hostFingerprint() const { return hostFingerprint_; }
    std::uint64_t approvalTimeoutSeconds() const { return approvalTimeoutSeconds_; }
    const std::optional<PendingApproval>& pending() const { return pending_; }
    // The active invitation while no correct proof has used it.
    std::optional<Invitation> activeInvitation() const;

    // Replaces any earlier invitation and silently drops a pending request.
    // The lifetime is kept within 1 to 300 seconds; address and host name are
    // cut to 64 bytes.
    EnrollmentResult<Invitation> issueInvitation(std::uint64_t now, std::uint32_t lifetimeSeconds,
                                                 std::uint16_t port, std::string_view address,
                                                 std::string_view hostName);
    // Forgets the active invitation; a pending request stays pending.
    void withdrawInvitation() { active_.reset(); }

    Step handle(const ControlMessage& message, const Digest32& clientFingerprint, std::uint64_t now);

    std::optional<Completion> approve(std::uint64_t token, const WireID& deviceID, std::uint64_t now);
    std::optional<Completion> deny(std::uint64_t token);
    std::optional<Completion> expire(std::uint64_t now);
    // Refuses a pending request; with none, forgets the active invitation.
    std::optional<Completion> cancel();

private:
    Step handleRequest(const msg::EnrollRequest& request, const Digest32& clientFingerprint, std::uint64_t now);
    std::optional<Completion> finish(EnrollmentOutcome outcome);

    std::shared_ptr<PairingCrypto> crypto_;
    Digest32 hostFingerprint_;
    std::uint64_t approvalTimeoutSeconds_;
    std::optional<Active> active_;
    std::optional<PendingApproval> pending_;
    std::optional<WireID> pendingInvitation_; // set and cleared with pending_
    std::uint64_t nextToken_ = 1;
};

} // namespace quillmere
