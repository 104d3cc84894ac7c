#include "QuillmereTransport/Identity/Fingerprint.h"

#include "Platform/Crypto/Crypto.h"
#include "QuillmereWire/SelfSignedCertificate.h"

namespace quillmere {

std::optional<Digest32> Fingerprint::of(const Certificate& certificate) {
    const auto key = certificate.p256PublicKey();
    if (!key) return std::nullopt;
    const auto keyInfo = SelfSignedCertificate::subjectPublicKeyInfo(viewOf(*key));
    if (!keyInfo) return std::nullopt;
    return Crypto::sha256(viewOf(*keyInfo));
}

std::optional<Digest32> Fingerprint::of(ByteView certificateDER) {
    const auto certificate = Certificate::fromDER(certificateDER);
    if (!certificate) return std::nullopt;
    return of(*certificate);
}

std::optional<Digest32> Fingerprint::ofPeer(std::span<const ByteView> chain) {
    if (chain.empty()) return std::nullopt;
    return of(chain.front());
}

} // namespace quillmere
