#pragma once

#include "QuillmereTransport/PeerCloseReason.h"
#include "QuillmereWire/ClientEnrollment.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// Runs the client's half of pairing over one enrollment connection: checks
// the host's fingerprint against the invitation, says hello, sends the
// enrollment request once the host answered with its own hello, and follows
// the host's answers to the paired host's record or a failure. Plain value;
// time is Unix seconds passed in; what to send is returned.
class PairingDriver {
public:
    struct Settings {
        Digest32 clientFingerprint;
        WireID deviceID;
        std::string deviceName;
    };

    // Fails with expired when the invitation is no longer valid.
    static EnrollmentResult<PairingDriver> start(std::shared_ptr<PairingCrypto> crypto, Invitation invitation,
                                                 Settings settings, std::uint64_t now);

    // The control stream is ready; fingerprint is what the host presented.
    std::vector<ControlMessage> connected(const std::optional<Digest32>& fingerprint);
    std::vector<ControlMessage> received(const ControlMessage& message, std::uint64_t now);
    void connectionClosed(const PeerCloseReason& reason);

    bool awaitingApproval() const;
    // Set once pairing is over: the host's record, or why it failed.
    const std::optional<std::expected<TrustedPeer, std::string>>& outcome() const { return outcome_; }
    const ClientEnrollment& enrollment() const { return enrollment_; }

    // The user's words for an enrollment failure.
    static std::string describe(const EnrollmentError& error);
    // The user's words for a connection that closed before the host answered.
    static std::string unreached(const PeerCloseReason& reason);

private:
    PairingDriver(std::shared_ptr<PairingCrypto> crypto, ClientEnrollment enrollment, Settings settings)
        : crypto_(std::move(crypto)), enrollment_(std::move(enrollment)), settings_(std::move(settings)) {}

    void fail(std::string text);
    void follow();

    std::shared_ptr<PairingCrypto> crypto_;
    ClientEnrollment enrollment_;
    Settings settings_;
    bool helloSent_ = false;
    std::optional<WireID> hostDeviceID_;
    std::optional<std::expected<TrustedPeer, std::string>> outcome_;
};

} // namespace quillmere
