#pragma once

#include "QuillmereWire/PairingCrypto.h"

#include <cstddef>

namespace quillmere {

// The system's random generator and HMAC-SHA256, as enrollment needs them.
// Keeps no state.
class SystemPairingCrypto final : public PairingCrypto {
public:
    // count bytes from the cryptographically secure generator; 0 gives none.
    std::expected<Bytes, RandomFailure> randomBytes(std::size_t count) override;
    // HMAC-SHA256 (RFC 2104) of message under key.
    Digest32 authenticationCode(ByteView key, ByteView message) const override;
};

} // namespace quillmere
