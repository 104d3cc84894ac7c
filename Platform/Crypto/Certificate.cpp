#include "Platform/Crypto/Certificate.h"

#include "Platform/Crypto/OpenSSLHandles.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <climits>
#include <cstring>

namespace quillmere {

namespace {

openssl::X509Ptr parse(ByteView der) {
    if (der.empty() || der.size() > LONG_MAX) return nullptr;
    const unsigned char* cursor = der.data();
    openssl::X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    ERR_clear_error();
    if (certificate && cursor != der.data() + der.size()) return nullptr;
    return certificate;
}

} // namespace

std::optional<Certificate> Certificate::fromDER(ByteView der) {
    if (!parse(der)) return std::nullopt;
    return Certificate(Bytes(der.begin(), der.end()));
}

std::string Certificate::pem() const {
    // 48 bytes per line give the customary 64 characters.
    constexpr std::size_t lineBytes = 48;
    std::string text = "-----BEGIN CERTIFICATE-----\n";
    std::array<unsigned char, 65> line{};
    for (std::size_t at = 0; at < der_.size(); at += lineBytes) {
        const std::size_t count = std::min(lineBytes, der_.size() - at);
        const int written = EVP_EncodeBlock(line.data(), der_.data() + at, static_cast<int>(count));
        text.append(reinterpret_cast<const char*>(line.data()), static_cast<std::size_t>(written));
        text.push_back('\n');
    }
    text += "-----END CERTIFICATE-----\n";
    return text;
}

std::optional<Bytes> Certificate::p256PublicKey() const {
    openssl::X509Ptr certificate = parse(viewOf(der_));
    if (!certificate) return std::nullopt;
    EVP_PKEY* key = X509_get0_pubkey(certificate.get());
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate.get());
    std::array<char, 64> group{};
    std::size_t length = 0;
    const bool p256 = key != nullptr && bits != nullptr && EVP_PKEY_is_a(key, "EC") == 1 &&
                      EVP_PKEY_get_group_name(key, group.data(), group.size(), &length) == 1 &&
                      std::strcmp(group.data(), "prime256v1") == 0;
    ERR_clear_error();
    if (!p256) return std::nullopt;
    const unsigned char* data = ASN1_STRING_get0_data(bits);
    return Bytes(data, data + ASN1_STRING_length(bits));
}

} // namespace quillmere
