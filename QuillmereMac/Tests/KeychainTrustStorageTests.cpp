#include "Platform/Keychain/KeychainStatus.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereWire/TrustStore.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

#include <unistd.h>

namespace quillmere {
namespace {

const std::string service = KeychainTrustStorage::service("tests");
const std::string account(KeychainTrustStorage::account);

TrustedPeer peer(std::uint8_t n) {
    std::array<std::uint8_t, 16> id{};
    id.fill(n);
    std::array<std::uint8_t, 32> fingerprint{};
    fingerprint.fill(static_cast<std::uint8_t>(0x80 | n));
    return TrustedPeer(WireID(id), Digest32(fingerprint), "iPhone " + std::to_string(n), PeerRole::client, 1'700'000'000 + n);
}

TEST(KeychainTrustStorage, ServiceCarriesTheScope) {
    EXPECT_EQ(KeychainTrustStorage::service(std::nullopt), "com.ornbeck.quillmere.mac.trust");
    EXPECT_EQ(KeychainTrustStorage::service(""), "com.ornbeck.quillmere.mac.trust");
    EXPECT_EQ(KeychainTrustStorage::service("ci-7"), "com.ornbeck.quillmere.mac.trust.ci-7");
}

TEST(KeychainTrustStorage, FirstSaveCreatesTheLabelledItem) {
    testing::TemporaryFolder folder;
    const KeychainTrustStorage storage{Keychain(folder.path())};
    auto nothing = storage.load(service, account);
    ASSERT_TRUE(nothing);
    EXPECT_FALSE(nothing->has_value());

    const Bytes blob{1, 0};
    ASSERT_TRUE(storage.save(viewOf(blob), service, account));
    auto item = storage.keychain().copyFirst(KeychainTrustStorage::query(service, account));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->label, "QuillmereMac paired devices");
    EXPECT_EQ(item->data, blob);
    EXPECT_EQ(storage.load(service, account)->value(), blob);
}

TEST(KeychainTrustStorage, UpdateChangesTheDataOnly) {
    testing::TemporaryFolder folder;
    const Keychain keychain(folder.path());
    KeychainItem existing;
    existing.service = service;
    existing.account = account;
    existing.label = "set by someone else";
    existing.data = {1, 0};
    ASSERT_EQ(keychain.add(existing), KeychainStatus::success);

    const KeychainTrustStorage storage(keychain);
    const Bytes blob{9, 9, 9};
    ASSERT_TRUE(storage.save(viewOf(blob), service, account));
    auto items = keychain.copyAll(KeychainTrustStorage::query(service, account));
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 1u);
    EXPECT_EQ(items->front().label, "set by someone else");
    EXPECT_EQ(items->front().data, blob);
}

TEST(KeychainTrustStorage, AnItemWithoutDataIsStatusZero) {
    testing::TemporaryFolder folder;
    const Keychain keychain(folder.path());
    KeychainItem empty;
    empty.service = service;
    empty.account = account;
    ASSERT_EQ(keychain.add(empty), KeychainStatus::success);
    const auto loaded = KeychainTrustStorage(keychain).load(service, account);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error(), KeychainTrustStorage::Failure::status(0));
}

TEST(KeychainTrustStorage, FailuresCompareByCode) {
    EXPECT_EQ(KeychainTrustStorage::Failure::status(-36), KeychainTrustStorage::Failure::status(-36));
    EXPECT_NE(KeychainTrustStorage::Failure::status(-36), KeychainTrustStorage::Failure::status(-50));
    EXPECT_EQ(KeychainTrustStorage::Failure::status(-25300).description(), "no such item");
}

TEST(KeychainTrustStorage, StoreKeepsItsPeersAcrossReopening) {
    testing::TemporaryFolder folder;
    const KeychainTrustStorage keychain{Keychain(folder.path())};
    {
        auto store = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
        ASSERT_TRUE(store);
        ASSERT_TRUE(store->add(peer(1)));
        ASSERT_TRUE(store->add(peer(2)));
    }
    auto reopened = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->peers(), (std::vector<TrustedPeer>{peer(1), peer(2)}));
    // Another scope is another item.
    auto other = TrustStore::open(AnyTrustStorage::keychain(keychain, KeychainTrustStorage::service("x"), account));
    ASSERT_TRUE(other);
    EXPECT_TRUE(other->peers().empty());
}

TEST(KeychainTrustStorage, AKeychainErrorReachesTheStoreAsItsText) {
    testing::TemporaryFolder folder;
    // A file where the keychain's folder should be: nothing can be listed or written.
    const auto root = folder.path() / "keychain";
    std::ofstream(root) << "not a folder";
    auto store = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage{Keychain(root)}, service, account));
    ASSERT_FALSE(store);
    EXPECT_EQ(store.error(), TrustStoreError::storage(root.string() + " is not a folder"));
}

TEST(KeychainTrustStorage, AFailedSaveLeavesTheStoredList) {
    testing::TemporaryFolder folder;
    const auto root = folder.path() / "keychain";
    const KeychainTrustStorage keychain{Keychain(root)};
    auto store = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->add(peer(1)));

    // The keychain's folder goes away and a file takes its place.
    const auto aside = folder.path() / "aside";
    std::filesystem::rename(root, aside);
    std::ofstream(root) << "not a folder";
    const auto added = store->add(peer(2));
    std::filesystem::remove(root);
    std::filesystem::rename(aside, root);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind(), TrustStoreError::Kind::storage);
    EXPECT_EQ(store->peers(), std::vector<TrustedPeer>{peer(1)});
    EXPECT_EQ(TrustStore::open(AnyTrustStorage::keychain(keychain, service, account))->peers(),
              std::vector<TrustedPeer>{peer(1)});
}

TEST(KeychainTrustStorage, AProcessKilledWhileSavingLeavesTheOldListOrTheNew) {
    testing::TemporaryFolder folder;
    const KeychainTrustStorage keychain{Keychain(folder.path())};
    const std::vector<TrustedPeer> one{peer(1)};
    std::vector<TrustedPeer> full;
    for (std::uint8_t n = 1; n <= TrustStore::maxPeers; ++n) full.push_back(peer(n));
    const Bytes oneBlob = *TrustStore::encode(one);
    const Bytes fullBlob = *TrustStore::encode(full);
    ASSERT_TRUE(AnyTrustStorage::keychain(keychain, service, account)->save(viewOf(oneBlob)));

    std::mt19937 random(2024);
    std::uniform_int_distribution<int> delayUs(100, 15000);
    for (int round = 0; round < 30; ++round) {
        testing::ChildProcess writer = testing::ChildProcess::fork([&] {
            auto storage = AnyTrustStorage::keychain(keychain, service, account);
            for (bool grow = true;; grow = !grow)
                if (!storage->save(viewOf(grow ? fullBlob : oneBlob))) return 2;
        });
        // A random moment of the writing: how long is not asserted on.
        ::usleep(static_cast<useconds_t>(delayUs(random)));
        writer.kill();
        ASSERT_EQ(writer.wait(), 128 + SIGKILL) << "the writer stopped on its own in round " << round;

        auto store = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
        ASSERT_TRUE(store) << "round " << round << ": " << store.error().description();
        EXPECT_TRUE(store->peers() == one || store->peers() == full) << "round " << round;
    }
}

// Two hosts over one folder, each keeping the list it read at start: the
// first one's change is made by another process.
TEST(KeychainTrustStorage, TwoProcessesOverOneFolderNeitherLoseNorUndoAChange) {
    using Change = std::function<bool(TrustStore&)>;
    const auto add = [](std::uint8_t n) -> Change { return [n](TrustStore& store) { return store.add(peer(n)).has_value(); }; };
    const auto remove = [](std::uint8_t n) -> Change {
        return [n](TrustStore& store) { return store.remove(peer(n).deviceID).has_value(); };
    };
    struct Case {
        const char* name;
        std::vector<TrustedPeer> stored;
        Change other; // in another process
        Change ours;  // here, over the list read before
        std::vector<TrustedPeer> expected;
    };
    const Case cases[] = {
        {"add and add", {}, add(1), add(2), {peer(1), peer(2)}},
        {"remove then add", {peer(3)}, remove(3), add(4), {peer(4)}},
        {"add then remove", {peer(5)}, add(6), remove(5), {peer(6)}},
        {"both remove", {peer(7), peer(8)}, remove(7), remove(8), {}},
    };
    for (const Case& c : cases) {
        testing::TemporaryFolder folder;
        const KeychainTrustStorage keychain{Keychain(folder.path() / "keychain")};
        ASSERT_TRUE(keychain.save(viewOf(*TrustStore::encode(c.stored)), service, account));
        auto ours = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
        ASSERT_TRUE(ours);
        testing::ChildProcess other = testing::ChildProcess::fork([&] {
            auto theirs = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
            return theirs && c.other(*theirs) ? 0 : 1;
        });
        ASSERT_EQ(other.wait(), 0) << c.name;
        ASSERT_TRUE(c.ours(*ours)) << c.name;
        EXPECT_EQ(ours->peers(), c.expected) << c.name;
        EXPECT_EQ(TrustStore::open(AnyTrustStorage::keychain(keychain, service, account))->peers(), c.expected)
            << c.name << ": after a restart";
    }
}

TEST(KeychainTrustStorage, ARecordDamagedWhileRunningRefusesTheNextChangeAndStays) {
    testing::TemporaryFolder folder;
    const KeychainTrustStorage keychain{Keychain(folder.path() / "keychain")};
    auto store = TrustStore::open(AnyTrustStorage::keychain(keychain, service, account));
    ASSERT_TRUE(store && store->add(peer(1)));
    const auto file = keychain.fileOf(service, account);
    struct Case {
        const char* name;
        Bytes blob;
        bool asRecord; // a keychain record holding blob, else blob as the file itself
    };
    const Case cases[] = {
        {"another version", Bytes{2, 0}, true},
        {"cut list", Bytes{1, 1, 0xaa}, true},
        {"not a record", Bytes{'x', 'y'}, false},
    };
    for (const Case& c : cases) {
        if (c.asRecord) {
            ASSERT_TRUE(keychain.save(viewOf(c.blob), service, account)) << c.name;
        } else {
            std::ofstream(file, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(c.blob.data()), static_cast<std::streamsize>(c.blob.size()));
        }
        std::ifstream in(file, std::ios::binary);
        const std::string before((std::istreambuf_iterator<char>(in)), {});
        const auto added = store->add(peer(2));
        ASSERT_FALSE(added) << c.name;
        EXPECT_NE(added.error().message().find(file.string()), std::string::npos) << c.name << ": " << added.error().message();
        EXPECT_EQ(store->peers(), std::vector<TrustedPeer>{peer(1)}) << c.name;
        std::ifstream after(file, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), before) << c.name;
    }
}

} // namespace
} // namespace quillmere
