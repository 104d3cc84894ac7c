#pragma once

#include "QuillmereBase/Bytes.h"

#include <optional>
#include <string>

namespace quillmere {

// An X.509 certificate kept as its DER bytes, known to parse.
class Certificate {
public:
    // Absent unless der is exactly one well-formed certificate.
    static std::optional<Certificate> fromDER(ByteView der);

    const Bytes& der() const { return der_; }
    // "-----BEGIN CERTIFICATE-----" text.
    std::string pem() const;

    // The public key as the certificate stores it, when it is an EC key on
    // P-256 (0x04 || X || Y for an uncompressed point); absent for any other key.
    std::optional<Bytes> p256PublicKey() const;

    bool operator==(const Certificate&) const = default;

private:
    explicit Certificate(Bytes der) : der_(std::move(der)) {}

    Bytes der_;
};

} // namespace quillmere
