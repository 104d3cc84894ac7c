#pragma once

#include "QuillmereWire/Bytes.h"
#include "QuillmereWire/WireID.h"

#include <cstddef>
#include <cstdint>
#include <expected>

namespace quillmere {

// The system's random generator and HMAC-SHA256, as enrollment needs them.
// Keeps no state.
class SystemPairingCrypto {
public:
    struct RandomFailure {
        // The generator's status.
        std::int32_t status = 0;
        bool operator==(const RandomFailure&) const = default;
    };

    // count bytes from the cryptographically secure generator; 0 gives none.
    std::expected<Bytes, RandomFailure> randomBytes(std::size_t count);
    // HMAC-SHA256 (RFC 2104) of message under key.
    Digest32 authenticationCode(ByteView key, ByteView message) const;
};

} // namespace quillmere
