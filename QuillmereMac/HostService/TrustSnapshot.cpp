#include "QuillmereMac/HostService/TrustSnapshot.h"

#include <algorithm>

namespace quillmere {

void TrustSnapshot::replace(std::span<const TrustedPeer> peers) {
    std::vector<Digest32> fingerprints;
    fingerprints.reserve(peers.size());
    for (const TrustedPeer& peer : peers) {
        if (std::find(fingerprints.begin(), fingerprints.end(), peer.fingerprint) == fingerprints.end())
            fingerprints.push_back(peer.fingerprint);
    }
    replace(std::move(fingerprints));
}

bool TrustSnapshot::contains(const std::optional<Digest32>& fingerprint) const {
    if (!fingerprint) return false;
    const bool found = set_.withLock([&](const std::vector<Digest32>& set) {
        bool found = false;
        for (const Digest32& trusted : set) found |= trusted.constantTimeEquals(*fingerprint);
        return found;
    });
    if (!found || !stored_) return found;
    return stored_(*fingerprint).value_or(true);
}

} // namespace quillmere
