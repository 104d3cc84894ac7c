#pragma once

#include "Platform/Crypto/CryptoError.h"
#include "QuillmereBase/Bytes.h"

#include <expected>
#include <memory>

struct evp_pkey_st;

namespace quillmere {

// A public key on the P-256 curve.
class P256PublicKey {
public:
    static constexpr std::size_t x963Length = 65;

    // The uncompressed point 0x04 || X || Y; refuses anything not on the curve.
    static std::expected<P256PublicKey, CryptoError> fromX963(ByteView point);

    // The uncompressed point, 65 bytes.
    const Bytes& x963() const { return point_; }

    // signature: X9.62 DER ECDSA-Sig-Value over SHA-256 of message.
    bool verifySHA256(ByteView message, ByteView signature) const;

    bool operator==(const P256PublicKey& other) const { return point_ == other.point_; }

private:
    friend class P256PrivateKey;
    P256PublicKey(std::shared_ptr<evp_pkey_st> key, Bytes point) : key_(std::move(key)), point_(std::move(point)) {}

    std::shared_ptr<evp_pkey_st> key_;
    Bytes point_;
};

} // namespace quillmere
