#include "QuillmereMac/Engine/HostEngine.h"

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "TestSupport/Host/PermissionsStub.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace quillmere {
namespace {

TrustedPeer device(std::uint8_t n, std::uint8_t fingerprintByte = 0) {
    std::array<std::uint8_t, 16> id{};
    id.fill(n);
    std::array<std::uint8_t, 32> fingerprint{};
    fingerprint.fill(fingerprintByte != 0 ? fingerprintByte : static_cast<std::uint8_t>(0x80 | n));
    return TrustedPeer(WireID(id), Digest32(fingerprint), fmt::format("iPhone {}", n), PeerRole::client, 1000 + n);
}

// What a service was asked to do, in order, across every service of a test.
using Journal = std::vector<std::string>;

struct RecordingService final : HostService {
    RecordingService(std::string name, Journal& journal) : serviceName(std::move(name)), journal(journal) {}

    const std::string& name() const override { return serviceName; }
    std::expected<void, std::string> start(std::uint64_t generation) override {
        journal.push_back(fmt::format("{} start {}", serviceName, generation));
        if (failure) return std::unexpected(*failure);
        return {};
    }
    void stop(std::function<void()> done) override {
        journal.push_back(serviceName + " stop");
        if (holdStop) pendingStop = std::move(done);
        else done();
    }
    void trustChanged(const std::vector<TrustedPeer>& peers) override {
        journal.push_back(fmt::format("{} trust {}", serviceName, peers.size()));
    }
    void revoke(const Digest32& fingerprint) override {
        journal.push_back(fmt::format("{} revoke {}", serviceName, fingerprint.description()));
    }

    std::string serviceName;
    Journal& journal;
    std::optional<std::string> failure;
    bool holdStop = false;
    std::function<void()> pendingStop;
};

// A store whose saves fail while failing is set.
struct Storage {
    std::optional<Bytes> blob;
    bool failing = false;

    std::unique_ptr<TrustStorage> make() {
        return std::make_unique<AnyTrustStorage>(
            [this]() -> std::expected<std::optional<Bytes>, std::string> { return blob; },
            [this](ByteView bytes) -> std::expected<void, std::string> {
                if (failing) return std::unexpected(std::string("the disk is full"));
                blob = Bytes(bytes.begin(), bytes.end());
                return {};
            });
    }
};

struct Fixture {
    Storage storage;
    // The main actor and the saves' queue, both run by hand.
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    // Screen capture allowed, accessibility not yet granted.
    std::shared_ptr<testing::PermissionsStub> permissions = notTrusted();
    std::shared_ptr<HostEngine> engine;
    std::vector<HostStatus> heard;
    Journal journal;

    static std::shared_ptr<testing::PermissionsStub> notTrusted() {
        auto stub = std::make_shared<testing::PermissionsStub>();
        stub->accessibility = false;
        return stub;
    }

    explicit Fixture(std::vector<TrustedPeer> paired = {}) {
        auto store = TrustStore::open(storage.make());
        for (const auto& peer : paired) (void)store->add(peer);
        engine = HostEngine::make(permissions, std::move(*store), *queue, {.saves = queue});
        engine->addObserver([this](const HostStatus& status) { heard.push_back(status); });
    }
    std::shared_ptr<RecordingService> service(const std::string& name) {
        auto s = std::make_shared<RecordingService>(name, journal);
        engine->addService(s);
        return s;
    }
    void reload() {
        engine->reloadTrust();
        queue->runUntilIdle();
    }
    std::expected<void, TrustStoreError> add(const TrustedPeer& peer) {
        std::optional<std::expected<void, TrustStoreError>> saved;
        engine->addDevice(peer, [&](std::expected<void, TrustStoreError> added) { saved = std::move(added); });
        queue->runUntilIdle();
        return saved.value();
    }
    std::vector<HostStatus::Phase> phases() const {
        std::vector<HostStatus::Phase> out;
        for (const auto& s : heard) out.push_back(s.phase);
        return out;
    }
};

using Phase = HostStatus::Phase;

TEST(HostEngine, StartsFromTheStoreAndItsPermissions) {
    Fixture f({device(1)});
    const HostStatus& status = f.engine->status();
    EXPECT_EQ(status.phase, Phase::stopped);
    EXPECT_EQ(status.permissions, (PermissionSnapshot{PermissionState::granted, PermissionState::notGranted}));
    EXPECT_EQ(status.pairedDevices, std::vector<TrustedPeer>{device(1)});
    EXPECT_TRUE(f.heard.empty());
}

TEST(HostEngine, StartIsHeardOnlyForStepsThatChangeTheStatus) {
    Fixture f;
    f.service("Transport");
    f.permissions->accessibility = true;
    f.engine->start();
    // Phase, then permissions; clearing an error that was never set changes nothing.
    ASSERT_EQ(f.heard.size(), 2u);
    EXPECT_EQ(f.heard[0].phase, Phase::running);
    EXPECT_EQ(f.heard[0].permissions.accessibility, PermissionState::notGranted);
    EXPECT_EQ(f.heard[1].permissions.accessibility, PermissionState::granted);
    EXPECT_EQ(f.journal, Journal{"Transport start 1"});

    f.engine->start();
    EXPECT_EQ(f.engine->generation(), 1u);
    EXPECT_EQ(f.journal.size(), 1u);
}

TEST(HostEngine, AFailingServiceLeavesItsTextAndTheOthersStart) {
    Fixture f;
    f.service("Transport")->failure = "addressInUse";
    f.service("Other");
    f.engine->start();
    EXPECT_EQ(f.engine->status().phase, Phase::running);
    EXPECT_EQ(f.engine->status().lastError, "Transport: addressInUse");
    EXPECT_EQ(f.journal, (Journal{"Transport start 1", "Other start 1"}));

    // The next start clears it.
    f.engine->stop();
    std::static_pointer_cast<RecordingService>(f.engine->services()[0])->failure.reset();
    f.engine->start();
    EXPECT_EQ(f.engine->status().lastError, std::nullopt);
    EXPECT_EQ(f.engine->generation(), 2u);
}

TEST(HostEngine, StopWaitsForEveryServiceInOrder) {
    Fixture f;
    auto first = f.service("Transport");
    f.service("Other");
    first->holdStop = true;
    f.engine->start();
    f.engine->sessionChanged("Anna's iPhone", 2);
    bool done = false;
    f.engine->stop([&] { done = true; });
    EXPECT_EQ(f.engine->status().phase, Phase::stopping);
    EXPECT_FALSE(done);

    // Neither start nor a session change gets through while stopping.
    f.engine->start();
    f.engine->sessionChanged("Ben's iPhone", 1);
    EXPECT_EQ(f.engine->status().activeSession, "Anna's iPhone");
    EXPECT_EQ(f.journal, (Journal{"Transport start 1", "Other start 1", "Transport stop"}));

    first->pendingStop();
    EXPECT_TRUE(done);
    EXPECT_EQ(f.journal.back(), "Other stop");
    const HostStatus& status = f.engine->status();
    EXPECT_EQ(status.phase, Phase::stopped);
    EXPECT_EQ(status.activeSession, std::nullopt);
    EXPECT_EQ(status.activeSessionCount, 0);
    // The second is the session change.
    EXPECT_EQ(f.phases(), (std::vector<Phase>{Phase::running, Phase::running, Phase::stopping, Phase::stopped}));
}

TEST(HostEngine, StopWithoutServicesEndsAtOnce) {
    Fixture f;
    f.engine->start();
    f.engine->stop();
    EXPECT_EQ(f.phases(), (std::vector<Phase>{Phase::running, Phase::stopping, Phase::stopped}));
    bool done = false;
    f.engine->stop([&] { done = true; }); // refused, but still finished
    EXPECT_TRUE(done);
    EXPECT_EQ(f.heard.size(), 3u);
}

TEST(HostEngine, SessionChangesCountOnlyWhileRunning) {
    Fixture f;
    f.engine->sessionChanged("early", 1);
    EXPECT_EQ(f.engine->status().activeSessionCount, 0);
    f.engine->start();
    f.engine->sessionChanged("Anna's iPhone", -3);
    EXPECT_EQ(f.engine->status().activeSession, "Anna's iPhone");
    EXPECT_EQ(f.engine->status().activeSessionCount, 0);
    f.engine->sessionChanged(std::nullopt, 2);
    EXPECT_EQ(f.engine->status().activeSession, std::nullopt);
    EXPECT_EQ(f.engine->status().activeSessionCount, 2);
}

TEST(HostEngine, AddingReplacesAndPushesTheWholeStore) {
    Fixture f({device(1), device(2)});
    f.service("Transport");
    // Same fingerprint as device 1 under a new identifier.
    const TrustedPeer renewed = device(3, 0x81);
    ASSERT_TRUE(f.add(renewed));
    EXPECT_EQ(f.engine->status().pairedDevices, (std::vector<TrustedPeer>{device(2), renewed}));
    EXPECT_EQ(f.journal, Journal{"Transport trust 2"});
    EXPECT_EQ(f.heard.size(), 1u);
}

TEST(HostEngine, AFailedAddIsTheCallersAndChangesNothing) {
    Fixture f({device(1)});
    f.service("Transport");
    f.storage.failing = true;
    const auto added = f.add(device(2));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error(), TrustStoreError::storage("the disk is full"));
    EXPECT_TRUE(f.heard.empty());
    EXPECT_TRUE(f.journal.empty());
}

TEST(HostEngine, RemovingPushesTrustThenRevokesAtOnceAndSavesAfter) {
    Fixture f({device(1), device(2)});
    f.service("Transport");
    f.service("Other");
    f.engine->removeDevice(device(1).deviceID);
    // Before the save has run.
    EXPECT_EQ(f.engine->status().pairedDevices, std::vector<TrustedPeer>{device(2)});
    EXPECT_FALSE(f.engine->trusted()->contains(device(1).fingerprint));
    const std::string revoked = device(1).fingerprint.description();
    EXPECT_EQ(f.journal, (Journal{"Transport trust 1", "Transport revoke " + revoked, "Other trust 1",
                                  "Other revoke " + revoked}));
    f.queue->runUntilIdle();
    EXPECT_EQ(TrustStore::decode(*f.storage.blob).value(), std::vector<TrustedPeer>{device(2)});
    // Not paired: nothing at all.
    f.engine->removeDevice(device(9).deviceID);
    f.queue->runUntilIdle();
    EXPECT_EQ(f.heard.size(), 1u);
    EXPECT_EQ(f.journal.size(), 4u);
}

TEST(HostEngine, ARemovalThatCannotBeSavedHoldsForThisRunUntilItIsSaved) {
    Fixture f({device(1), device(2)});
    f.storage.failing = true;
    f.engine->removeDevice(device(1).deviceID);
    f.queue->runUntilIdle();
    const std::string unsaved = "Removed \u201CiPhone 1\u201D for now, but the removal could not be saved: the disk is "
                                "full. It will be trusted again when Quillmere next starts unless that is mended.";
    EXPECT_EQ(f.engine->status().lastError, unsaved);
    EXPECT_EQ(f.engine->status().trustProblem, unsaved);
    // Whatever a read says meanwhile, the device stays out: still stored,
    // then nothing stored (its folder moved aside), then stored again.
    const std::optional<Bytes> whole = f.storage.blob;
    for (const std::optional<Bytes>& stored : {whole, std::optional<Bytes>(), whole}) {
        f.storage.blob = stored;
        f.engine->reloadTrust();
        f.queue->runUntilIdle();
        EXPECT_FALSE(f.engine->trusted()->contains(device(1).fingerprint));
        EXPECT_EQ(f.engine->status().pairedDevices.size(), stored ? 1u : 0u);
        EXPECT_TRUE(f.engine->status().trustProblem.has_value());
    }

    // Mended: a start still says it; the next try, on its timer, saves it
    // and the line goes.
    f.storage.failing = false;
    f.engine->start();
    EXPECT_EQ(f.engine->status().lastError, unsaved);
    f.queue->advance(HostEngine::firstRetryNs);
    EXPECT_EQ(f.engine->status().lastError, std::nullopt);
    EXPECT_EQ(f.engine->status().trustProblem, std::nullopt);
    EXPECT_EQ(TrustStore::decode(*f.storage.blob).value(), std::vector<TrustedPeer>{device(2)});
    // Paired again here, it is trusted again.
    ASSERT_TRUE(f.add(device(1)));
    EXPECT_TRUE(f.engine->trusted()->contains(device(1).fingerprint));
}

// The list shown may be older than the last read: a device removed while
// nothing is stored (its folder moved aside) stays out when the list comes
// back, and its removal is saved there.
TEST(HostEngine, ARemovalMadeWhileNothingIsStoredHoldsWhenTheListComesBack) {
    Fixture f({device(1), device(2)});
    const std::optional<Bytes> whole = f.storage.blob;
    f.storage.blob.reset();
    f.reload();
    f.engine->removeDevice(device(1).deviceID);
    f.queue->runUntilIdle();
    EXPECT_TRUE(f.engine->status().trustProblem.has_value());

    f.storage.blob = whole;
    f.reload();
    EXPECT_FALSE(f.engine->trusted()->contains(device(1).fingerprint));
    EXPECT_EQ(f.engine->status().pairedDevices, std::vector<TrustedPeer>{device(2)});
    EXPECT_EQ(TrustStore::decode(*f.storage.blob).value(), std::vector<TrustedPeer>{device(2)});
    EXPECT_EQ(f.engine->status().trustProblem, std::nullopt);
}

// Quick refusals back off; a try that spent the lock's wait is followed
// soon, for the other host may let go at any moment.
TEST(HostEngine, AnUnsavedRemovalIsTriedAgainBackingOffUnlessATryWaitedForTheLock) {
    constexpr std::uint64_t second = 1'000'000'000ULL;
    struct Row {
        const char* name;
        std::uint64_t trySeconds;
        std::vector<std::uint64_t> gapSeconds;
    };
    for (const Row& row : {Row{"refused at once", 0, {2, 4, 8, 16, 30, 30}}, Row{"the lock's wait", 5, {2, 2, 2, 2}}}) {
        SCOPED_TRACE(row.name);
        Storage storage;
        ManualExecutor main;
        auto saves = std::make_shared<ManualExecutor>();
        auto store = TrustStore::open(storage.make());
        (void)store->add(device(1));
        auto engine = HostEngine::make(Fixture::notTrusted(), std::move(*store), main, {.saves = saves});
        storage.failing = true;
        engine->removeDevice(device(1).deviceID);
        for (const std::uint64_t gap : row.gapSeconds) {
            main.advance(row.trySeconds * second);
            ASSERT_EQ(saves->runUntilIdle(), 1u);
            main.advance(gap * second - 1);
            EXPECT_EQ(saves->runUntilIdle(), 0u) << "tried again before " << gap << " s";
            main.advance(1);
        }
        EXPECT_TRUE(engine->status().trustProblem.has_value());
    }
}

TEST(HostEngine, AnotherProcesssChangeToTheStoredListReachesTheStatusAndTheServices) {
    Fixture f({device(1), device(2)});
    f.service("Transport");
    // Another host removed device 1 and paired device 3.
    f.storage.blob = *TrustStore::encode(std::vector<TrustedPeer>{device(2), device(3)});
    f.reload();
    EXPECT_EQ(f.engine->status().pairedDevices, (std::vector<TrustedPeer>{device(2), device(3)}));
    EXPECT_EQ(f.journal, (Journal{"Transport trust 2", "Transport revoke " + device(1).fingerprint.description()}));
    // Nothing new: nothing heard.
    const std::size_t heard = f.heard.size();
    f.reload();
    EXPECT_EQ(f.heard.size(), heard);
    // A list that turns unreadable keeps what was read, and is said once.
    f.storage.blob = Bytes{2, 0};
    f.reload();
    f.reload();
    EXPECT_EQ(f.heard.size(), heard + 1);
    EXPECT_EQ(f.engine->status().lastError,
              "Could not read the paired devices: the stored list holds paired devices in a newer format (version 2) "
              "than this version of Quillmere reads.");
    EXPECT_EQ(f.engine->status().pairedDevices, (std::vector<TrustedPeer>{device(2), device(3)}));
    EXPECT_EQ(f.journal.size(), 2u);
    // Mended and read again without fault: the line goes.
    f.storage.blob = *TrustStore::encode(std::vector<TrustedPeer>{device(2), device(3)});
    f.reload();
    EXPECT_EQ(f.engine->status().lastError, std::nullopt);
    EXPECT_EQ(f.journal.size(), 2u);
}

TEST(HostEngine, EqualStatusIsNotHeard) {
    Fixture f;
    f.engine->publish(f.engine->status());
    f.engine->refreshPermissions();
    EXPECT_TRUE(f.heard.empty());
    f.permissions->screen = false;
    f.engine->refreshPermissions();
    ASSERT_EQ(f.heard.size(), 1u);
    EXPECT_EQ(f.heard[0].permissions.screenRecording, PermissionState::notGranted);
}

} // namespace
} // namespace quillmere
