#pragma once

#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/TrustedPeer.h"

#include <optional>
#include <span>
#include <vector>

namespace quillmere {

// The trusted client fingerprints, replaced whole on the main actor and read
// by the session listener's peer check during every handshake.
class TrustSnapshot {
public:
    void replace(std::vector<Digest32> fingerprints) { set_.set(std::move(fingerprints)); }
    void replace(std::span<const TrustedPeer> peers);
    std::vector<Digest32> fingerprints() const { return set_.get(); }

    // False for no fingerprint. Visits every entry in constant time each, so
    // the answer's timing tells nothing of where a match sits.
    bool contains(const std::optional<Digest32>& fingerprint) const;

private:
    LockedBox<std::vector<Digest32>> set_;
};

} // namespace quillmere
