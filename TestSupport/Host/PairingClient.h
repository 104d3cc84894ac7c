#pragma once

#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "QuillmereWire/ClientEnrollment.h"
#include "QuillmereWire/Invitation.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quillmere::testing {

// A device pairing as a phone would: its own identity, the client
// enrollment, and a client-role connection to the invitation's port, or to
// the port given (a relay's).
struct PairingClient {
    PairingClient(TestKeychain& keys, Defaults& defaults, const std::string& label, const std::string& invitationText,
                  std::string deviceName = "Anna's iPhone", double handshakeTimeoutSeconds = 5.0,
                  std::optional<std::uint16_t> port = std::nullopt);

    bool ready() { return client.recorder->waitForEvent<peer::Ready>(); }
    PeerRecorder& recorder() { return *client.recorder; }
    void send(ControlMessage message) { client.connection->sendControl(std::move(message)); }

    std::optional<Hello> hello();
    // The proof made by the client enrollment from the invitation's secret.
    bool request();
    void wrongRequest();
    std::optional<msg::EnrollResult> result() { return awaitMessage<msg::EnrollResult>(recorder()); }

    LocalIdentity identity;
    std::string name;
    std::array<std::uint8_t, 16> deviceID{};
    Invitation invitation;
    TestClient client;
    std::optional<ClientEnrollment> enrollment;
};

} // namespace quillmere::testing
