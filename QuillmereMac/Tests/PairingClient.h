#pragma once

#include "QuillmereMac/Tests/HostServiceTestSupport.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "QuillmereWire/ClientEnrollment.h"

#include <chrono>

namespace quillmere::testing {

inline std::uint64_t wallClock() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// A device pairing as a phone would: its own identity, the client
// enrollment, and a client-role connection to the invitation's port.
struct PairingClient {
    PairingClient(TestKeychain& keys, Defaults& defaults, const std::string& label, const std::string& invitationText,
                  std::string deviceName = "Anna's iPhone")
        : identity(keys.make(label)), name(std::move(deviceName)) {
        deviceID.fill(static_cast<std::uint8_t>(label.size()));
        auto parsed = Invitation::fromText(invitationText);
        if (!parsed) throw std::runtime_error(parsed.error().description());
        invitation = *parsed;
        client = TestClient::connect(invitation.port, identity, pinned(invitation.hostFingerprint), defaults, 5.0,
                                     std::string(WireProtocol::enrollmentProtocolIdentifier));
    }

    bool ready() { return client.recorder->waitForEvent<peer::Ready>(); }
    PeerRecorder& recorder() { return *client.recorder; }
    void send(ControlMessage message) { client.connection->sendControl(std::move(message)); }

    std::optional<Hello> hello() {
        send(Hello{1, 0, PeerRole::client, WireID(deviceID), WireID(deviceID), name});
        return awaitMessage<Hello>(recorder());
    }
    // The proof made by the client enrollment from the invitation's secret.
    bool request() {
        auto started = ClientEnrollment::start(std::make_shared<SystemPairingCrypto>(), invitation, wallClock());
        if (!started) return false;
        enrollment.emplace(std::move(*started));
        const auto fingerprint = recorder().readyFingerprint();
        if (!fingerprint || !*fingerprint || !enrollment->verifyHost(**fingerprint)) return false;
        auto request = enrollment->makeRequest(identity.fingerprint, name);
        if (!request) return false;
        send(*request);
        return true;
    }
    void wrongRequest() {
        std::array<std::uint8_t, 32> proof{};
        proof.fill(0x5A);
        send(msg::EnrollRequest{invitation.invitationID, Digest32(proof), name});
    }
    std::optional<msg::EnrollResult> result() { return awaitMessage<msg::EnrollResult>(recorder()); }

    LocalIdentity identity;
    std::string name;
    std::array<std::uint8_t, 16> deviceID{};
    Invitation invitation;
    TestClient client;
    std::optional<ClientEnrollment> enrollment;
};

} // namespace quillmere::testing
