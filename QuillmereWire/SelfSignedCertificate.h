#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace quillmere {

// DER of the X.509 v3 certificate each peer presents as its TLS identity: a
// P-256 key, one common name as subject and issuer, a caller-chosen serial,
// ecdsa-with-SHA256. The builder never signs: the caller signs the
// to-be-signed bytes with its own key and hands the signature back.
namespace SelfSignedCertificate {

// Uncompressed P-256 point: 0x04, X, Y.
inline constexpr std::size_t publicKeyLength = 65;

enum class Failure : std::uint8_t {
    invalidPublicKey,
    invalidName,
    invalidSerial,
};

// "invalidPublicKey", "invalidName", "invalidSerial".
std::string description(Failure failure);

// 91 bytes for every valid key.
std::expected<Bytes, Failure> subjectPublicKeyInfo(ByteView publicKey);

// The serial is written as the minimal DER INTEGER of its value: redundant
// leading zero bytes (00 01) are dropped, since X.509 parsers refuse them.
std::expected<Bytes, Failure> tbsCertificate(ByteView publicKey, std::string_view commonName, ByteView serial,
                                             std::string_view notBefore, std::string_view notAfter);

// signature: the X9.62 DER ECDSA-Sig-Value over SHA-256 of tbs.
Bytes certificate(ByteView tbs, ByteView signature);

} // namespace SelfSignedCertificate

} // namespace quillmere
