#pragma once

#include "Platform/Crypto/Certificate.h"
#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/Digest32.h"

#include <optional>
#include <span>

namespace quillmere {

// What peers are known by: SHA-256 of the DER SubjectPublicKeyInfo of a
// certificate's P-256 key. Absent for any other key, a compressed point
// included. Keeps no state; safe on any thread.
struct Fingerprint {
    static std::optional<Digest32> of(const Certificate& certificate);
    // Absent when the bytes are not one certificate.
    static std::optional<Digest32> of(ByteView certificateDER);
    // The leaf (first) certificate of a handshake's peer chain.
    static std::optional<Digest32> ofPeer(std::span<const ByteView> chain);
};

} // namespace quillmere
