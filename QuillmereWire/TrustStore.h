#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/TrustStorage.h"
#include "QuillmereWire/TrustStoreError.h"
#include "QuillmereWire/TrustedPeer.h"
#include "QuillmereWire/WireError.h"

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quillmere {

// The paired devices, at most 32, in the order they were added. Every change
// is saved before it shows in peers(), so memory never runs ahead of the
// storage. A change applies to what is stored at that moment, not to what
// this store last read, so that another process's changes to the same
// storage stay; peers() then shows the whole stored list.
class TrustStore {
public:
    static constexpr std::size_t maxPeers = 32;
    static constexpr std::uint8_t blobVersion = 1;

    // Loads the stored blob; nothing stored gives an empty store and saves
    // nothing. A blob that does not decode is refused, never repaired.
    // storage must not be null.
    static std::expected<TrustStore, TrustStoreError> open(std::unique_ptr<TrustStorage> storage);

    const std::vector<TrustedPeer>& peers() const { return peers_; }
    TrustStorage& storage() { return *storage_; }

    // Replaces every peer with the same device identifier or fingerprint and
    // appends the new one; full when 32 others remain.
    std::expected<void, TrustStoreError> add(const TrustedPeer& peer);
    // The first peer with that identifier (every one with it goes), or no value
    // without saving.
    std::expected<std::optional<TrustedPeer>, TrustStoreError> remove(const WireID& deviceID);
    std::expected<void, TrustStoreError> removeAll();
    // Reads the stored list again; true when it differs from peers(). On
    // failure peers() stays as it was.
    std::expected<bool, TrustStoreError> reload();
    // What a storage holds now, as a store would load it; none stored is no peer.
    static std::expected<std::vector<TrustedPeer>, TrustStoreError> loadFrom(TrustStorage& storage);

    // Fingerprints compare in constant time.
    std::optional<TrustedPeer> peer(const Digest32& fingerprint) const;
    bool isTrusted(const Digest32& fingerprint) const { return peer(fingerprint).has_value(); }

    // Blob: version 1, count, then per peer id(16) fingerprint(32) name(sstr)
    // role(u8) pairedAt(u64). Every failure is corrupt.
    static std::expected<std::vector<TrustedPeer>, TrustStoreError> decode(ByteView blob);
    // Refuses what decode would refuse (more than 32 peers, a name over 64
    // bytes or not UTF-8), so no list is ever saved that could not be loaded.
    static WireResult<Bytes> encode(std::span<const TrustedPeer> peers);

private:
    TrustStore(std::unique_ptr<TrustStorage> storage, std::vector<TrustedPeer> peers)
        : storage_(std::move(storage)), peers_(std::move(peers)) {}

    // Edits the stored list in place: true to save it, false to leave it.
    using Change = std::function<std::expected<bool, TrustStoreError>(std::vector<TrustedPeer>& list)>;
    std::expected<void, TrustStoreError> edit(const Change& change);
    // Decode failures naming where the blob lives.
    static std::expected<std::vector<TrustedPeer>, TrustStoreError> decodeFrom(const TrustStorage& storage,
                                                                               ByteView blob);

    std::unique_ptr<TrustStorage> storage_;
    std::vector<TrustedPeer> peers_;
};

} // namespace quillmere
