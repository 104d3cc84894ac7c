#include "QuillmereTransport/Identity/SystemPairingCrypto.h"

#include "Platform/Crypto/Crypto.h"

#include <limits>

namespace quillmere {

std::expected<Bytes, SystemPairingCrypto::RandomFailure> SystemPairingCrypto::randomBytes(std::size_t count) {
    if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::unexpected(RandomFailure{Crypto::randomParameterError});
    auto bytes = Crypto::randomBytes(static_cast<std::ptrdiff_t>(count));
    if (!bytes) return std::unexpected(RandomFailure{bytes.error()});
    return std::move(*bytes);
}

Digest32 SystemPairingCrypto::authenticationCode(ByteView key, ByteView message) const {
    return Crypto::hmacSHA256(key, message);
}

} // namespace quillmere
