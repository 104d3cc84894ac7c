#include "QuillmereWire/TrustStore.h"

#include "QuillmereBase/ByteReader.h"
#include "QuillmereBase/ByteWriter.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/WireText.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::string_view countField = "trust.count";
constexpr std::string_view nameField = "trust.name";
constexpr std::string_view roleField = "trust.role";

// id(16) fingerprint(32) name length(1) role(1) pairedAt(8), name bytes aside.
constexpr std::size_t fixedEntryBytes = 58;

WireResult<TrustedPeer> readEntry(ByteReader& reader) {
    auto id = reader.take(WireID::byteCount);
    if (!id) return std::unexpected(id.error());
    auto fingerprint = reader.take(Digest32::byteCount);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    auto name = reader.readShortString(TrustedPeer::maxNameBytes, nameField);
    if (!name) return std::unexpected(name.error());
    auto rawRole = reader.readU8();
    if (!rawRole) return std::unexpected(rawRole.error());
    auto role = enumFromRaw<PeerRole>(*rawRole);
    if (!role) return std::unexpected(WireError::unknownValue(std::string(roleField), *rawRole));
    auto pairedAt = reader.readU64();
    if (!pairedAt) return std::unexpected(pairedAt.error());
    return TrustedPeer(*WireID::fromBytes(*id), *Digest32::fromBytes(*fingerprint), *name, *role, *pairedAt);
}

WireResult<std::vector<TrustedPeer>> readBlob(ByteView blob) {
    ByteReader reader(blob);
    auto version = reader.readU8();
    if (!version) return std::unexpected(version.error());
    // The version read is not reported: callers only learn that it is not ours.
    if (*version != TrustStore::blobVersion) return std::unexpected(WireError::versionMismatch(0));
    auto count = reader.readU8();
    if (!count) return std::unexpected(count.error());
    if (*count > TrustStore::maxPeers) return std::unexpected(WireError::outOfRange(std::string(countField)));
    std::vector<TrustedPeer> peers;
    peers.reserve(*count);
    for (std::size_t i = 0; i < *count; ++i) {
        auto peer = readEntry(reader);
        if (!peer) return std::unexpected(peer.error());
        peers.push_back(std::move(*peer));
    }
    if (auto end = reader.expectEnd(); !end) return std::unexpected(end.error());
    return peers;
}

} // namespace

std::expected<TrustStore, TrustStoreError> TrustStore::open(std::unique_ptr<TrustStorage> storage) {
    auto blob = storage->load();
    if (!blob) return std::unexpected(TrustStoreError::storage(std::move(blob.error())));
    if (!blob->has_value()) return TrustStore(std::move(storage), {});
    auto peers = decode(viewOf(**blob));
    if (!peers) return std::unexpected(peers.error());
    return TrustStore(std::move(storage), std::move(*peers));
}

std::expected<std::vector<TrustedPeer>, TrustStoreError> TrustStore::decode(ByteView blob) {
    auto peers = readBlob(blob);
    if (!peers) return std::unexpected(TrustStoreError::corrupt(peers.error()));
    return std::move(*peers);
}

WireResult<Bytes> TrustStore::encode(std::span<const TrustedPeer> peers) {
    if (auto ok = require(peers.size() <= maxPeers, countField); !ok) return std::unexpected(ok.error());
    std::size_t size = 2;
    for (const TrustedPeer& peer : peers) {
        if (auto ok = requireUTF8Length(peer.name, TrustedPeer::maxNameBytes, nameField); !ok) {
            return std::unexpected(ok.error());
        }
        if (!isValidUTF8(peer.name)) return std::unexpected(WireError::invalidString());
        if (!enumFromRaw<PeerRole>(rawValue(peer.role))) {
            return std::unexpected(WireError::unknownValue(std::string(roleField), rawValue(peer.role)));
        }
        size += fixedEntryBytes + peer.name.size();
    }

    ByteWriter writer(static_cast<std::ptrdiff_t>(size));
    writer.writeU8(blobVersion);
    writer.writeU8(static_cast<std::uint8_t>(peers.size()));
    for (const TrustedPeer& peer : peers) {
        writer.writeBytes(peer.deviceID.view());
        writer.writeBytes(peer.fingerprint.view());
        writer.writeShortString(peer.name);
        writer.writeU8(static_cast<std::uint8_t>(rawValue(peer.role)));
        writer.writeU64(peer.pairedAt);
    }
    return std::move(writer).take();
}

std::expected<void, TrustStoreError> TrustStore::persist(std::vector<TrustedPeer> list) {
    auto blob = encode(list);
    if (!blob) return std::unexpected(TrustStoreError::corrupt(blob.error()));
    if (auto saved = storage_->save(viewOf(*blob)); !saved) {
        return std::unexpected(TrustStoreError::storage(std::move(saved.error())));
    }
    peers_ = std::move(list);
    return {};
}

std::expected<void, TrustStoreError> TrustStore::add(const TrustedPeer& peer) {
    std::vector<TrustedPeer> list;
    list.reserve(peers_.size() + 1);
    std::copy_if(peers_.begin(), peers_.end(), std::back_inserter(list), [&](const TrustedPeer& existing) {
        return existing.deviceID != peer.deviceID && existing.fingerprint != peer.fingerprint;
    });
    if (list.size() >= maxPeers) return std::unexpected(TrustStoreError::full());
    list.push_back(peer);
    return persist(std::move(list));
}

std::expected<std::optional<TrustedPeer>, TrustStoreError> TrustStore::remove(const WireID& deviceID) {
    auto found = std::find_if(peers_.begin(), peers_.end(),
                              [&](const TrustedPeer& existing) { return existing.deviceID == deviceID; });
    if (found == peers_.end()) return std::optional<TrustedPeer>();
    TrustedPeer removed = *found;
    std::vector<TrustedPeer> list;
    list.reserve(peers_.size());
    std::copy_if(peers_.begin(), peers_.end(), std::back_inserter(list),
                 [&](const TrustedPeer& existing) { return existing.deviceID != deviceID; });
    if (auto ok = persist(std::move(list)); !ok) return std::unexpected(ok.error());
    return std::optional<TrustedPeer>(std::move(removed));
}

std::expected<void, TrustStoreError> TrustStore::removeAll() { return persist({}); }

std::optional<TrustedPeer> TrustStore::peer(const Digest32& fingerprint) const {
    for (const TrustedPeer& candidate : peers_) {
        if (candidate.fingerprint.constantTimeEquals(fingerprint)) return candidate;
    }
    return std::nullopt;
}

} // namespace quillmere
