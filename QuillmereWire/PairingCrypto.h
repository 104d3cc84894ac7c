#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/Digest32.h"

#include <cstddef>
#include <cstdint>
#include <expected>

namespace quillmere {

// The cryptography enrollment needs, supplied by the transport so that this
// library stays free of platform code and tests can fix the random bytes.
class PairingCrypto {
public:
    // The random generator's own status; enrollment only looks at failure itself.
    struct RandomFailure {
        std::int32_t status = 0;
        bool operator==(const RandomFailure&) const = default;
    };

    virtual ~PairingCrypto() = default;

    // count bytes from a cryptographically secure source; 0 gives none.
    virtual std::expected<Bytes, RandomFailure> randomBytes(std::size_t count) = 0;
    // HMAC-SHA256 (RFC 2104) of message under key.
    virtual Digest32 authenticationCode(ByteView key, ByteView message) const = 0;
};

} // namespace quillmere
