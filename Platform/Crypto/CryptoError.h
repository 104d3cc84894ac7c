#pragma once

#include <string>

namespace quillmere {

// A failure of the crypto library, carrying its own description.
struct CryptoError {
    std::string description;

    // Takes (and clears) this thread's OpenSSL error queue; falls back to
    // context when the queue is empty.
    static CryptoError fromOpenSSL(const char* context);

    bool operator==(const CryptoError&) const = default;
};

} // namespace quillmere
