#include "QuillmereViewer/PairingClient.h"

#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "QuillmereTransport/PeerConnection.h"
#include "QuillmereTransport/QUICParameters.h"
#include "QuillmereViewer/HostLocator.h"
#include "QuillmereViewer/PairingDriver.h"
#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>

namespace quillmere {
namespace {

std::uint64_t unixNow() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// What the connection's queue tells the waiting thread.
struct PairingProgress {
    std::optional<std::expected<TrustedPeer, std::string>> outcome;
    // The handshake completed: somebody answered.
    bool reached = false;
    bool awaitingApproval = false;
    bool closed = false;
};

} // namespace

std::expected<TrustedPeer, ViewerError> PairingClient::run(const viewer::PairCommand& command,
                                                           const ViewerState& state, const Interruption& interruption,
                                                           Progress progress) {
    auto say = [&](const std::string& text) {
        if (progress) progress(text);
    };
    auto invitation = Invitation::fromText(command.invitation);
    if (!invitation)
        return std::unexpected(ViewerError{fmt::format("the invitation is not valid: {}", invitation.error().description()),
                                           ViewerError::usage});
    auto identity = state.identity();
    if (!identity) return std::unexpected(ViewerError{identity.error()});
    auto deviceID = state.deviceID();
    if (!deviceID) return std::unexpected(ViewerError{deviceID.error()});
    auto trust = state.trustStore();
    if (!trust) return std::unexpected(ViewerError{trust.error()});

    const std::string deviceName =
        command.deviceName.value_or(state.deviceName().value_or(ViewerState::defaultDeviceName()));
    auto driver = PairingDriver::start(std::make_shared<SystemPairingCrypto>(), *invitation,
                                       PairingDriver::Settings{identity->fingerprint, *deviceID, deviceName}, unixNow());
    if (!driver) return std::unexpected(ViewerError{PairingDriver::describe(driver.error())});
    auto address = HostLocator::resolve(invitation->address, invitation->port);
    if (!address) return std::unexpected(ViewerError{fmt::format("cannot reach the host of the invitation: {}", address.error())});

    // Pinned to the invitation already during the handshake: nothing is sent
    // to a host that is not the one invited us.
    const Digest32 expected = invitation->hostFingerprint;
    auto mismatch = std::make_shared<LockedBox<bool>>(false);
    auto verify = [expected, mismatch](const std::optional<Digest32>& fingerprint) {
        const bool pinned = fingerprint && fingerprint->constantTimeEquals(expected);
        if (!pinned) mismatch->set(true);
        return pinned;
    };
    const std::string alpn(WireProtocol::enrollmentProtocolIdentifier);
    auto made = PeerConnection::make(*address, QUICParameters::make(alpn, *identity, true, verify), alpn);
    if (!made) return std::unexpected(ViewerError{fmt::format("cannot reach the host at {}: {}", address->description(), made.error().description)});
    std::shared_ptr<PeerConnection> connection = *made;
    connection->setHandshakeTimeout(std::min(handshakeTimeoutSeconds, command.timeoutSeconds));

    auto shared = std::make_shared<LockedBox<PairingProgress>>();
    auto pairing = std::make_shared<PairingDriver>(std::move(*driver));
    std::weak_ptr<PeerConnection> weakConnection = connection;
    say(fmt::format("pairing with \"{}\" at {}", invitation->hostName, address->description()));
    connection->start([pairing, shared, weakConnection](const PeerEvent& event) {
        std::vector<ControlMessage> replies;
        if (const auto* ready = std::get_if<peer::Ready>(&event)) {
            replies = pairing->connected(ready->fingerprint);
        } else if (const auto* control = std::get_if<peer::Control>(&event)) {
            replies = pairing->received(control->message, unixNow());
        } else if (const auto* closed = std::get_if<peer::Closed>(&event)) {
            pairing->connectionClosed(closed->reason);
        }
        if (auto connection = weakConnection.lock()) {
            for (auto& reply : replies) connection->sendControl(std::move(reply));
        }
        shared->withLock([&](PairingProgress& progress) {
            progress.outcome = pairing->outcome();
            progress.reached = progress.reached || std::holds_alternative<peer::Ready>(event);
            progress.awaitingApproval = pairing->awaitingApproval();
            progress.closed = progress.closed || std::holds_alternative<peer::Closed>(event);
        });
    });

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<std::int64_t>(command.timeoutSeconds * 1000));
    bool announcedApproval = false;
    PairingProgress seen;
    for (;;) {
        seen = shared->get();
        if (seen.outcome) break;
        if (seen.awaitingApproval && !announcedApproval) {
            announcedApproval = true;
            say("waiting for approval on the host");
        }
        if (interruption.raised()) {
            connection->cancel();
            return std::unexpected(ViewerError{"pairing interrupted"});
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            connection->cancel();
            // The handshake timeout falls due at the same moment (or later):
            // whichever comes first, nobody answering reads the same.
            if (!seen.reached) {
                return std::unexpected(ViewerError{PairingDriver::unreached(PeerCloseReason::handshakeTimeout())});
            }
            return std::unexpected(ViewerError{seen.awaitingApproval
                                                   ? "the host's user did not answer in time"
                                                   : "the host did not finish the pairing in time"});
        }
        interruption.sleep(std::chrono::milliseconds(20));
    }
    if (!*seen.outcome) {
        connection->cancel();
        if (mismatch->get()) return std::unexpected(ViewerError{"the host's fingerprint does not match the invitation"});
        return std::unexpected(ViewerError{seen.outcome->error()});
    }
    const TrustedPeer host = **seen.outcome;
    auto added = trust->add(host);
    // A name that could not be kept only makes later sessions use the default one.
    (void)state.setDeviceName(deviceName);
    connection->close(closeGraceSeconds);
    if (!added)
        return std::unexpected(ViewerError{fmt::format("paired, but the host could not be kept: {}", added.error().message())});
    // Let the goodbye of the stream go out before the connection is dropped.
    for (int i = 0; i < 100 && !shared->get().closed; ++i) interruption.sleep(std::chrono::milliseconds(20));
    return host;
}

} // namespace quillmere
