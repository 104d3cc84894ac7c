#pragma once

#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/TrustedPeer.h"

#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace quillmere {

// The trusted client fingerprints, replaced whole on the main actor and read
// by the session listener's peer check during every handshake.
class TrustSnapshot {
public:
    // Whether the paired devices stored now hold a fingerprint; none when
    // they cannot be read. Called on the listener's verify queue.
    using StoredCheck = std::function<std::optional<bool>(const Digest32& fingerprint)>;

    TrustSnapshot() = default;
    // With a second look at the stored list for every fingerprint in the
    // set, so that another process's removal holds before this one hears
    // of it.
    explicit TrustSnapshot(StoredCheck stored) : stored_(std::move(stored)) {}

    void replace(std::vector<Digest32> fingerprints) { set_.set(std::move(fingerprints)); }
    void replace(std::span<const TrustedPeer> peers);
    std::vector<Digest32> fingerprints() const { return set_.get(); }

    // False for no fingerprint. Visits every entry in constant time each, so
    // the answer's timing tells nothing of where a match sits. A stored list
    // that cannot be read leaves the answer to the set, what was last read:
    // a change reads the list before it saves, so a list no host can read
    // has had no removal saved to it.
    bool contains(const std::optional<Digest32>& fingerprint) const;

private:
    LockedBox<std::vector<Digest32>> set_;
    const StoredCheck stored_;
};

} // namespace quillmere
