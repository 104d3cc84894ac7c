#pragma once

#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/TrustedPeer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quillmere {

// The one answer to whether a device is trusted: the stored list as last
// read, less the devices removed this run whose removal is not saved yet.
// Such a removal holds, whatever a later read says, until it is saved or the
// device is paired again here. The handshake, the engine and the windows all
// ask this; every thread may, and none waits for the keychain's lock.
class TrustSnapshot {
public:
    // The stored list as it is now, read without waiting for the keychain's
    // lock (records are replaced whole); none when it cannot be read. Called
    // on the listener's verify queue.
    using Read = std::function<std::optional<std::vector<TrustedPeer>>()>;

    TrustSnapshot() = default;
    explicit TrustSnapshot(std::vector<TrustedPeer> stored, Read read = {});

    // Told, on the handshake's thread, when a handshake's read changed the answer.
    void onChange(std::function<void()> changed);

    std::vector<TrustedPeer> peers() const;
    std::vector<Digest32> fingerprints() const;
    std::optional<TrustedPeer> peer(const Digest32& fingerprint) const;
    // Removed this run, not saved yet.
    std::vector<TrustedPeer> unsaved() const;
    // The peer check of every handshake; false for no fingerprint. A trusted
    // fingerprint is looked up again in the stored list as it is now, so that
    // another host's removal holds before this one hears of it; a list that
    // cannot be read leaves the answer to the last read. Each comparison runs
    // in constant time, so the timing tells nothing of where a match sits.
    bool contains(const std::optional<Digest32>& fingerprint);

    // Reads are numbered when they begin, saves once they are done: a read
    // that began before the last one applied is stale and dropped.
    std::uint64_t ticket();
    void stored(std::uint64_t ticket, std::vector<TrustedPeer> list);
    // At the user's word: out of the answer at once. A device a later read
    // dropped (its folder moved aside) is held out all the same, as its list
    // may come back. None when no device of this run had that identifier.
    std::optional<TrustedPeer> remove(const WireID& deviceID);
    // The stored list once a removal was saved to it (or found it gone).
    void removalSaved(std::uint64_t ticket, std::vector<TrustedPeer> list, const TrustedPeer& removed);
    // The stored list once a pairing was saved to it: an unsaved removal of
    // the same device ends.
    void paired(std::uint64_t ticket, std::vector<TrustedPeer> list, const TrustedPeer& peer);

private:
    struct State {
        std::vector<TrustedPeer> stored;
        std::vector<TrustedPeer> unsaved;
        // Every device the stored list has held this run, as last read.
        std::vector<TrustedPeer> seen;
        std::uint64_t tickets = 0;
        std::uint64_t applied = 0;
        std::function<void()> changed;
    };
    static std::vector<TrustedPeer> answer(const State& state);
    static bool apply(State& state, std::uint64_t ticket, std::vector<TrustedPeer> list);
    static void see(State& state, const std::vector<TrustedPeer>& list);

    LockedBox<State> state_;
    const Read read_;
};

} // namespace quillmere
