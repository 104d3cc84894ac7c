#include "Platform/Crypto/Crypto.h"
#include "Platform/Crypto/OpenSSLHandles.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <climits>
#include <cstdlib>

namespace quillmere {

namespace {

// OpenSSL reads a null key as "keep the previous one"; an empty key must
// still point somewhere.
const std::uint8_t emptyInput = 0;

const std::uint8_t* pointerOf(ByteView bytes) { return bytes.empty() ? &emptyInput : bytes.data(); }

Digest32 digestOf(const std::array<std::uint8_t, 32>& bytes) { return Digest32(bytes); }

} // namespace

std::expected<Bytes, std::int32_t> Crypto::randomBytes(std::ptrdiff_t count) {
    if (count < 0) return std::unexpected(randomParameterError);
    Bytes out(static_cast<std::size_t>(count));
    std::size_t filled = 0;
    while (filled < out.size()) {
        const std::size_t chunk = std::min<std::size_t>(out.size() - filled, INT_MAX);
        if (RAND_bytes(out.data() + filled, static_cast<int>(chunk)) != 1)
            return std::unexpected(randomGeneratorFailed);
        filled += chunk;
    }
    return out;
}

Digest32 Crypto::sha256(ByteView data) {
    std::array<std::uint8_t, 32> out{};
    unsigned int length = 0;
    // SHA-256 of memory fails only when the library cannot allocate a context.
    if (EVP_Digest(pointerOf(data), data.size(), out.data(), &length, EVP_sha256(), nullptr) != 1 || length != 32)
        std::abort();
    return digestOf(out);
}

Digest32 Crypto::hmacSHA256(ByteView key, ByteView message) {
    // RFC 2104 hashes keys longer than the block first; doing it here keeps
    // every key length within what HMAC() takes.
    constexpr std::size_t blockSize = 64;
    Digest32 hashedKey;
    if (key.size() > blockSize) {
        hashedKey = sha256(key);
        key = hashedKey.view();
    }
    std::array<std::uint8_t, 32> out{};
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), pointerOf(key), static_cast<int>(key.size()), pointerOf(message), message.size(),
             out.data(), &length) == nullptr ||
        length != 32)
        std::abort();
    return digestOf(out);
}

} // namespace quillmere
