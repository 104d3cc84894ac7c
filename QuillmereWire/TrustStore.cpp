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
    // The error keeps 0, as its equality always did; the byte read goes
    // with the store's error, for the user.
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
    auto peers = loadFrom(*storage);
    if (!peers) return std::unexpected(std::move(peers.error()));
    return TrustStore(std::move(storage), std::move(*peers));
}

std::expected<std::vector<TrustedPeer>, TrustStoreError> TrustStore::loadFrom(TrustStorage& storage) {
    auto blob = storage.load();
    if (!blob) return std::unexpected(TrustStoreError::storage(std::move(blob.error())));
    // Nothing stored yet is no peer.
    if (!blob->has_value()) return std::vector<TrustedPeer>();
    return decodeFrom(storage, viewOf(**blob));
}

std::expected<std::vector<TrustedPeer>, TrustStoreError> TrustStore::decodeFrom(const TrustStorage& storage,
                                                                                ByteView blob) {
    auto peers = decode(blob);
    if (!peers) return std::unexpected(std::move(peers.error()).at(storage.location()));
    return peers;
}


std::expected<std::vector<TrustedPeer>, TrustStoreError> TrustStore::decode(ByteView blob) {
    auto peers = readBlob(blob);
    if (!peers) {
        auto error = TrustStoreError::corrupt(peers.error());
        if (peers.error().kind() == WireError::Kind::versionMismatch && !blob.empty())
            error = std::move(error).withVersionFound(blob[0], blob[0] > blobVersion);
        return std::unexpected(std::move(error));
    }
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

std::expected<void, TrustStoreError> TrustStore::edit(const Change& change) {
    std::optional<TrustStoreError> failure;
    std::optional<std::vector<TrustedPeer>> result;
    auto changed = storage_->change([&](const std::optional<Bytes>& stored) -> std::optional<Bytes> {
        std::vector<TrustedPeer> list;
        if (stored) {
            // Never written over: a blob that does not decode is refused.
            auto decoded = decodeFrom(*storage_, viewOf(*stored));
            if (!decoded) {
                failure = std::move(decoded.error());
                return std::nullopt;
            }
            list = std::move(*decoded);
        }
        auto save = change(list);
        if (!save) {
            failure = std::move(save.error());
            return std::nullopt;
        }
        std::optional<Bytes> blob;
        if (*save) {
            auto encoded = encode(list);
            if (!encoded) {
                failure = TrustStoreError::corrupt(encoded.error());
                return std::nullopt;
            }
            blob = std::move(*encoded);
        }
        result = std::move(list);
        return blob;
    });
    if (!changed) return std::unexpected(TrustStoreError::storage(std::move(changed.error())));
    if (failure) return std::unexpected(std::move(*failure));
    if (result) peers_ = std::move(*result);
    return {};
}

std::expected<void, TrustStoreError> TrustStore::add(const TrustedPeer& peer) {
    return edit([&](std::vector<TrustedPeer>& list) -> std::expected<bool, TrustStoreError> {
        std::erase_if(list, [&](const TrustedPeer& existing) {
            return existing.deviceID == peer.deviceID || existing.fingerprint == peer.fingerprint;
        });
        if (list.size() >= maxPeers) return std::unexpected(TrustStoreError::full());
        list.push_back(peer);
        return true;
    });
}

std::expected<std::optional<TrustedPeer>, TrustStoreError> TrustStore::remove(const WireID& deviceID) {
    std::optional<TrustedPeer> removed;
    auto edited = edit([&](std::vector<TrustedPeer>& list) -> std::expected<bool, TrustStoreError> {
        const auto found = std::find_if(list.begin(), list.end(),
                                        [&](const TrustedPeer& existing) { return existing.deviceID == deviceID; });
        if (found == list.end()) return false;
        removed = *found;
        std::erase_if(list, [&](const TrustedPeer& existing) { return existing.deviceID == deviceID; });
        return true;
    });
    if (!edited) return std::unexpected(std::move(edited.error()));
    return removed;
}

std::expected<void, TrustStoreError> TrustStore::removeAll() {
    return edit([](std::vector<TrustedPeer>& list) -> std::expected<bool, TrustStoreError> {
        list.clear();
        return true;
    });
}

std::expected<bool, TrustStoreError> TrustStore::reload() {
    auto list = loadFrom(*storage_);
    if (!list) return std::unexpected(std::move(list.error()));
    if (*list == peers_) return false;
    peers_ = std::move(*list);
    return true;
}

std::optional<TrustedPeer> TrustStore::peer(const Digest32& fingerprint) const {
    for (const TrustedPeer& candidate : peers_) {
        if (candidate.fingerprint.constantTimeEquals(fingerprint)) return candidate;
    }
    return std::nullopt;
}

} // namespace quillmere
