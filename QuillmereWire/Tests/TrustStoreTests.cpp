#include "QuillmereWire/TrustStore.h"

#include "PairingTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using pairingtest::bytesOf;
using pairingtest::filled;
using pairingtest::MemoryTrustStorage;

TrustedPeer peerNumber(int n, std::string name = "") {
    return TrustedPeer(filled<WireID>(static_cast<std::uint8_t>(n)), filled<Digest32>(static_cast<std::uint8_t>(n), 3),
                       name.empty() ? "Device " + std::to_string(n) : name, n % 2 ? PeerRole::client : PeerRole::host,
                       1'700'000'000ULL + static_cast<std::uint64_t>(n));
}

class TrustStoreTest : public ::testing::Test {
protected:
    std::shared_ptr<MemoryTrustStorage::State> stored = std::make_shared<MemoryTrustStorage::State>();

    std::expected<TrustStore, TrustStoreError> open() {
        return TrustStore::open(std::make_unique<MemoryTrustStorage>(stored));
    }

    TrustStore openWith(int count) {
        std::vector<TrustedPeer> peers;
        for (int n = 1; n <= count; ++n) peers.push_back(peerNumber(n));
        stored->blob = *TrustStore::encode(peers);
        auto store = open();
        EXPECT_TRUE(store.has_value());
        return std::move(*store);
    }

    // A one-entry blob with the given name length byte, name and role byte.
    static Bytes entryBlob(int nameLength, const Bytes& name, int role) {
        Bytes blob = bytesOf({1, 1});
        const Bytes id(16, 0x11), fingerprint(32, 0x22);
        blob.insert(blob.end(), id.begin(), id.end());
        blob.insert(blob.end(), fingerprint.begin(), fingerprint.end());
        blob.push_back(static_cast<std::uint8_t>(nameLength));
        blob.insert(blob.end(), name.begin(), name.end());
        blob.push_back(static_cast<std::uint8_t>(role));
        for (int i = 0; i < 8; ++i) blob.push_back(static_cast<std::uint8_t>(i));
        return blob;
    }
};

std::expected<std::vector<TrustedPeer>, TrustStoreError> decode(const Bytes& blob) {
    return TrustStore::decode(viewOf(blob));
}

TrustStoreError corrupt(WireError error) { return TrustStoreError::corrupt(std::move(error)); }

TEST_F(TrustStoreTest, NothingStoredGivesAnEmptyStoreAndSavesNothing) {
    auto store = open();
    ASSERT_TRUE(store.has_value());
    EXPECT_TRUE(store->peers().empty());
    EXPECT_EQ(stored->loads, 1);
    EXPECT_EQ(stored->saves, 0);
    EXPECT_FALSE(store->isTrusted(Digest32::zero()));
}

TEST_F(TrustStoreTest, LoadsWhatWasSaved) {
    {
        auto store = open();
        ASSERT_TRUE(store->add(peerNumber(1)).has_value());
        ASSERT_TRUE(store->add(peerNumber(2, "Zoë's phone")).has_value());
    }
    auto reopened = open();
    ASSERT_TRUE(reopened.has_value());
    EXPECT_EQ(reopened->peers(), (std::vector{peerNumber(1), peerNumber(2, "Zoë's phone")}));
}

TEST_F(TrustStoreTest, AFailedLoadIsAStorageError) {
    stored->loadFailure = "status(-25300)";
    EXPECT_EQ(open().error(), TrustStoreError::storage("status(-25300)"));
    EXPECT_EQ(open().error().description(), "storage(\"status(-25300)\")");
}

TEST_F(TrustStoreTest, ACorruptBlobIsRefusedAndKept) {
    stored->blob = bytesOf({1, 1, 0});
    EXPECT_EQ(open().error(), corrupt(WireError::truncated()));
    EXPECT_EQ(stored->blob, bytesOf({1, 1, 0}));
    EXPECT_EQ(stored->saves, 0);
}

TEST_F(TrustStoreTest, BlobLayout) {
    EXPECT_EQ(TrustStore::encode({}), bytesOf({1, 0}));
    const TrustedPeer peer(filled<WireID>(0x10), filled<Digest32>(0x40), "ab", PeerRole::host, 0x0102030405060708);
    Bytes expected = bytesOf({1, 1});
    const Bytes id = peer.deviceID.toBytes(), fingerprint = peer.fingerprint.toBytes();
    expected.insert(expected.end(), id.begin(), id.end());
    expected.insert(expected.end(), fingerprint.begin(), fingerprint.end());
    for (int b : {2, int('a'), int('b'), 1, 1, 2, 3, 4, 5, 6, 7, 8}) expected.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(TrustStore::encode(std::vector{peer}), expected);
    EXPECT_EQ(expected.size(), 2u + 58 + 2);
}

TEST_F(TrustStoreTest, RoundTripsAFullStoreInOrder) {
    std::vector<TrustedPeer> peers;
    for (int n = 32; n >= 1; --n) peers.push_back(peerNumber(n, std::string(60, 'x') + "€" + std::to_string(n % 10)));
    const auto blob = TrustStore::encode(peers);
    ASSERT_TRUE(blob.has_value());
    EXPECT_EQ(blob->size(), 3906u);
    EXPECT_EQ(decode(*blob), peers);
    EXPECT_EQ(decode(bytesOf({1, 0})), std::vector<TrustedPeer>());
}

TEST_F(TrustStoreTest, RefusesEveryBrokenBlob) {
    EXPECT_EQ(decode({}).error(), corrupt(WireError::truncated()));
    EXPECT_EQ(decode(bytesOf({1})).error(), corrupt(WireError::truncated()));
    EXPECT_EQ(decode(bytesOf({2, 0})).error(), corrupt(WireError::versionMismatch(0)));
    EXPECT_EQ(decode(bytesOf({0, 0})).error(), corrupt(WireError::versionMismatch(0)));
    EXPECT_EQ(decode(bytesOf({1, 33})).error(), corrupt(WireError::outOfRange("trust.count")));
    EXPECT_EQ(decode(bytesOf({1, 0xFF})).error(), corrupt(WireError::outOfRange("trust.count")));
    EXPECT_EQ(decode(bytesOf({1, 0, 0})).error(), corrupt(WireError::trailingBytes()));
    EXPECT_EQ(decode(entryBlob(0, {}, 0)).error(), corrupt(WireError::unknownValue("trust.role", 0)));
    EXPECT_EQ(decode(entryBlob(0, {}, 3)).error(), corrupt(WireError::unknownValue("trust.role", 3)));
    EXPECT_EQ(decode(entryBlob(65, Bytes(65, 'a'), 1)).error(), corrupt(WireError::outOfRange("trust.name")));
    EXPECT_EQ(decode(entryBlob(2, bytesOf({0xC3, 0x28}), 1)).error(), corrupt(WireError::invalidString()));
    EXPECT_EQ(decode(entryBlob(3, bytesOf({0xED, 0xA0, 0x80}), 1)).error(), corrupt(WireError::invalidString()));

    Bytes extra = entryBlob(1, bytesOf({'a'}), 2);
    EXPECT_TRUE(decode(extra).has_value());
    extra.push_back(0);
    EXPECT_EQ(decode(extra).error(), corrupt(WireError::trailingBytes()));
    EXPECT_EQ(decode(extra).error().description(), "corrupt(trailingBytes)");
}

TEST_F(TrustStoreTest, EveryCutOfAValidBlobIsTruncated) {
    std::vector<TrustedPeer> peers{peerNumber(1), peerNumber(2, "ñ")};
    const Bytes blob = *TrustStore::encode(peers);
    for (std::size_t cut = 0; cut < blob.size(); ++cut) {
        EXPECT_EQ(decode(Bytes(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(cut))).error(),
                  corrupt(WireError::truncated()))
            << cut;
    }
    // A count that promises more entries than follow.
    Bytes more = blob;
    more[1] = 3;
    EXPECT_EQ(decode(more).error(), corrupt(WireError::truncated()));
}

TEST_F(TrustStoreTest, EncodingRefusesWhatCouldNotBeLoaded) {
    std::vector<TrustedPeer> tooMany;
    for (int n = 0; n < 33; ++n) tooMany.push_back(peerNumber(n));
    EXPECT_EQ(TrustStore::encode(tooMany).error(), WireError::outOfRange("trust.count"));
    TrustedPeer longName = peerNumber(1);
    longName.name = std::string(65, 'a');
    EXPECT_EQ(TrustStore::encode(std::vector{longName}).error(), WireError::outOfRange("trust.name"));
    TrustedPeer brokenName = peerNumber(1);
    brokenName.name = "\xFF";
    EXPECT_EQ(TrustStore::encode(std::vector{brokenName}).error(), WireError::invalidString());
}

TEST_F(TrustStoreTest, AddSavesBeforeItShows) {
    auto store = *open();
    ASSERT_TRUE(store.add(peerNumber(1)).has_value());
    EXPECT_EQ(stored->saves, 1);
    EXPECT_EQ(stored->blob, TrustStore::encode(store.peers()));
    EXPECT_TRUE(store.isTrusted(peerNumber(1).fingerprint));
    EXPECT_EQ(store.peer(peerNumber(1).fingerprint), peerNumber(1));
}

TEST_F(TrustStoreTest, AThirtyThirdDeviceIsRefused) {
    TrustStore store = openWith(32);
    const Bytes before = *stored->blob;
    EXPECT_EQ(store.add(peerNumber(33)).error(), TrustStoreError::full());
    EXPECT_EQ(store.peers().size(), 32u);
    EXPECT_EQ(stored->saves, 0);
    EXPECT_EQ(stored->blob, before);
    EXPECT_FALSE(store.isTrusted(peerNumber(33).fingerprint));
}

TEST_F(TrustStoreTest, ARepairedDeviceReplacesItsEntryAtTheEnd) {
    TrustStore store = openWith(32);
    TrustedPeer again = peerNumber(5, "New name");
    again.fingerprint = filled<Digest32>(0xEE);
    ASSERT_TRUE(store.add(again).has_value());
    ASSERT_EQ(store.peers().size(), 32u);
    EXPECT_EQ(store.peers().back(), again);
    EXPECT_EQ(store.peers()[4], peerNumber(6));
    EXPECT_FALSE(store.isTrusted(peerNumber(5).fingerprint));
    EXPECT_EQ(decode(*stored->blob), store.peers());
}

TEST_F(TrustStoreTest, ANewDeviceTakingTwoKnownKeysReplacesBoth) {
    TrustStore store = openWith(3);
    const TrustedPeer merged(peerNumber(1).deviceID, peerNumber(3).fingerprint, "Merged", PeerRole::client, 9);
    ASSERT_TRUE(store.add(merged).has_value());
    EXPECT_EQ(store.peers(), (std::vector{peerNumber(2), merged}));
}

TEST_F(TrustStoreTest, AFailedSaveChangesNothing) {
    TrustStore store = openWith(2);
    stored->saveFailure = "status(-34)";
    EXPECT_EQ(store.add(peerNumber(3)).error(), TrustStoreError::storage("status(-34)"));
    EXPECT_EQ(store.remove(peerNumber(1).deviceID).error(), TrustStoreError::storage("status(-34)"));
    EXPECT_EQ(store.removeAll().error(), TrustStoreError::storage("status(-34)"));
    EXPECT_EQ(store.peers(), (std::vector{peerNumber(1), peerNumber(2)}));
    EXPECT_EQ(decode(*stored->blob), store.peers());
}

TEST_F(TrustStoreTest, APeerThatCouldNotBeLoadedIsNotSaved) {
    TrustStore store = openWith(1);
    TrustedPeer longName = peerNumber(2);
    longName.name = std::string(100, 'n');
    EXPECT_EQ(store.add(longName).error(), corrupt(WireError::outOfRange("trust.name")));
    EXPECT_EQ(stored->saves, 0);
    EXPECT_EQ(store.peers().size(), 1u);
}

TEST_F(TrustStoreTest, RemoveReturnsThePeer) {
    TrustStore store = openWith(3);
    EXPECT_EQ(store.remove(peerNumber(2).deviceID).value(), std::optional(peerNumber(2)));
    EXPECT_EQ(store.peers(), (std::vector{peerNumber(1), peerNumber(3)}));
    EXPECT_EQ(stored->saves, 1);
    EXPECT_EQ(store.remove(peerNumber(2).deviceID).value(), std::nullopt);
    EXPECT_EQ(stored->saves, 1);
}

TEST_F(TrustStoreTest, RemoveTakesEveryEntryWithTheIdentifier) {
    // Blobs written elsewhere may repeat an identifier; add never does.
    TrustedPeer twin = peerNumber(7);
    twin.fingerprint = filled<Digest32>(0x99);
    stored->blob = *TrustStore::encode(std::vector{peerNumber(7), peerNumber(8), twin});
    auto store = *open();
    EXPECT_EQ(store.remove(twin.deviceID).value(), std::optional(peerNumber(7)));
    EXPECT_EQ(store.peers(), (std::vector{peerNumber(8)}));
}

TEST_F(TrustStoreTest, RemoveAllSavesTheEmptyBlob) {
    TrustStore store = openWith(4);
    ASSERT_TRUE(store.removeAll().has_value());
    EXPECT_TRUE(store.peers().empty());
    EXPECT_EQ(stored->blob, bytesOf({1, 0}));
}

TEST_F(TrustStoreTest, LookupFindsTheFirstMatchAcrossTheWholeFingerprint) {
    TrustedPeer twin = peerNumber(9);
    twin.deviceID = filled<WireID>(0x55);
    stored->blob = *TrustStore::encode(std::vector{peerNumber(8), peerNumber(9), twin});
    auto store = *open();
    EXPECT_EQ(store.peer(peerNumber(9).fingerprint), peerNumber(9));
    for (std::size_t i : {0u, 15u, 31u}) {
        EXPECT_FALSE(store.isTrusted(pairingtest::flipped(peerNumber(9).fingerprint, i))) << i;
    }
}

TEST(TrustedPeer, CutsItsNameBetweenScalars) {
    const std::string name = std::string(63, 'a') + "é";
    const TrustedPeer peer(WireID(), Digest32(), name, PeerRole::client, 0);
    EXPECT_EQ(peer.name, std::string(63, 'a'));
    EXPECT_EQ(TrustedPeer(WireID(), Digest32(), std::string(64, 'a') + "b", PeerRole::client, 0).name,
              std::string(64, 'a'));
}

TEST(TrustStoreError, Descriptions) {
    EXPECT_EQ(TrustStoreError::full().description(), "full");
    EXPECT_EQ(corrupt(WireError::outOfRange("trust.count")).description(), "corrupt(outOfRange(\"trust.count\"))");
    EXPECT_NE(TrustStoreError::storage("a"), TrustStoreError::storage("b"));
    EXPECT_NE(corrupt(WireError::truncated()), TrustStoreError::full());
}

} // namespace
} // namespace quillmere
