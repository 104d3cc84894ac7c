#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/Digest32.h"

#include <cstddef>
#include <cstdint>
#include <expected>

namespace quillmere {

// Random bytes and the hash functions of the system's crypto library.
class Crypto {
public:
    // Status of a failed random draw.
    static constexpr std::int32_t randomParameterError = -50; // negative count
    static constexpr std::int32_t randomGeneratorFailed = -1;

    // count bytes from the cryptographically secure generator; 0 gives none.
    static std::expected<Bytes, std::int32_t> randomBytes(std::ptrdiff_t count);
    static Digest32 sha256(ByteView data);
    // RFC 2104 over SHA-256; any key length.
    static Digest32 hmacSHA256(ByteView key, ByteView message);
};

} // namespace quillmere
