#include "QuillmereMac/Trust/StoredTrustCheck.h"

#include "QuillmereWire/TrustStore.h"

namespace quillmere {

std::optional<bool> StoredTrustCheck::operator()(const Digest32& fingerprint) const {
    const auto answer = [&]() -> std::optional<bool> {
        auto blob = storage_.load(service_, account_);
        if (!blob) return std::nullopt;
        if (!*blob) return false;
        auto peers = TrustStore::decode(viewOf(**blob));
        if (!peers) return std::nullopt;
        bool found = false;
        for (const TrustedPeer& peer : *peers) found |= peer.fingerprint.constantTimeEquals(fingerprint);
        return found;
    }();
    if (answer != true && stale_) stale_();
    return answer;
}

} // namespace quillmere
