#include "Platform/Crypto/CryptoError.h"

#include <openssl/err.h>

#include <array>

namespace quillmere {

CryptoError CryptoError::fromOpenSSL(const char* context) {
    // The earliest error names the cause; later ones only repeat the call chain.
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return CryptoError{context};
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return CryptoError{text.data()};
}

} // namespace quillmere
