#pragma once

#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/EnrollmentError.h"
#include "QuillmereWire/WireError.h"
#include "QuillmereWire/WireID.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

// One pairing attempt as the host offers it: where to connect, which host to
// expect, and the secret that keys both enrollment proofs. Travels as the
// text "quillmere:1:" + Base64URL(record).
struct Invitation {
    static constexpr std::string_view textPrefix = "quillmere:1:";
    static constexpr std::uint32_t maxLifetimeSeconds = 300;
    static constexpr std::size_t maxAddressBytes = 64;
    static constexpr std::size_t maxHostNameBytes = 64;
    static constexpr std::uint8_t recordVersion = 1;
    // 89 fixed bytes plus the two texts.
    static constexpr std::size_t maxRecordBytes = 89 + maxAddressBytes + maxHostNameBytes;
    // Longer texts are refused before decoding; a valid one has at most 302 bytes.
    static constexpr std::size_t maxTextBytes = 320;

    WireID invitationID;
    Digest32 hostFingerprint;
    Digest32 secret;
    std::uint32_t expiresAt = 0; // Unix seconds
    std::uint16_t port = 0;
    std::string address;
    std::string hostName;

    // The invitation text. Refuses an address that is empty or over 64 bytes
    // and a host name over 64 bytes (outOfRange), and text that is not UTF-8
    // (invalidString), which no reader would accept. Port and expiry are not
    // checked.
    WireResult<std::string> encoded() const;

    // Reads an invitation text. Every refusal is malformedInvitation; the
    // clock is not consulted.
    static EnrollmentResult<Invitation> fromText(std::string_view text);

    bool operator==(const Invitation&) const = default;
};

} // namespace quillmere
