#include "TestSupport/Host/PairingClient.h"

#include "QuillmereTransport/Identity/SystemPairingCrypto.h"

#include <chrono>

namespace quillmere::testing {

namespace {

std::uint64_t wallClock() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

} // namespace

PairingClient::PairingClient(TestKeychain& keys, Defaults& defaults, const std::string& label,
                             const std::string& invitationText, std::string deviceName, double handshakeTimeoutSeconds,
                             std::optional<std::uint16_t> port)
    : identity(keys.make(label)), name(std::move(deviceName)) {
    deviceID.fill(static_cast<std::uint8_t>(label.size()));
    auto parsed = Invitation::fromText(invitationText);
    if (!parsed) throw std::runtime_error(parsed.error().description());
    invitation = *parsed;
    client = TestClient::connect(port.value_or(invitation.port), identity, pinned(invitation.hostFingerprint), defaults,
                                 handshakeTimeoutSeconds, std::string(WireProtocol::enrollmentProtocolIdentifier));
}

std::optional<Hello> PairingClient::hello() {
    send(Hello{1, 0, PeerRole::client, WireID(deviceID), WireID(deviceID), name});
    return awaitMessage<Hello>(recorder());
}

bool PairingClient::request() {
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

void PairingClient::wrongRequest() {
    std::array<std::uint8_t, 32> proof{};
    proof.fill(0x5A);
    send(msg::EnrollRequest{invitation.invitationID, Digest32(proof), name});
}

} // namespace quillmere::testing
