#pragma once

#include "Platform/Quic/QuicConfiguration.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereTransport/Identity/LocalIdentity.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

class Defaults;

// The one parameter set of every QUIC connection and listener: TLS 1.3 with
// the host's identity, mutual authentication, the peer accepted or refused
// by its public-key fingerprint alone, the QUIC limits, and the service
// class. Keeps no state.
struct QUICParameters {
    enum class ServiceClass : std::uint8_t { bestEffort, interactiveVideo };

    // The pinning decision; an absent fingerprint is a certificate without a
    // usable P-256 key. Called on the parameter set's verify queue.
    using Verify = std::function<bool(const std::optional<Digest32>& fingerprint)>;

    static constexpr std::string_view wifiPriorityKey = "QuillmereWiFiPriority";
    static constexpr std::string_view verifyQueueLabel = "com.ornbeck.quillmeretransport.verify";
    static constexpr std::uint64_t maxDatagramFrameSize = 65535;
    static constexpr std::uint64_t idleTimeoutMs = 15000;

    // The service class the setting selects, read afresh on each call.
    static ServiceClass serviceClass();
    static ServiceClass serviceClass(const Defaults& defaults);
    // The IP traffic class byte: DSCP AF41 (the video access category on
    // Wi-Fi) for interactive video, 0 for best effort.
    static int trafficClass(ServiceClass serviceClass);

    // The setting is read once, here: a change applies to parameters built later.
    static QuicConfiguration make(std::string alpn, const LocalIdentity& identity, bool requirePeerAuthentication,
                                  Verify verify);
    static QuicConfiguration make(std::string alpn, const LocalIdentity& identity, bool requirePeerAuthentication,
                                  Verify verify, const Defaults& defaults);
};

} // namespace quillmere
