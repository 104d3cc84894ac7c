#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

namespace quillmere {
namespace {

using testing::LaunchedHost;
using testing::pumpUntil;

// Another host of the same account: its own trust store over the folder.
TrustStore otherHost(const Keychain& keychain) {
    return *TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(keychain),
                                                       KeychainTrustStorage::service(std::nullopt),
                                                       std::string(KeychainTrustStorage::account)));
}

struct Phone {
    LocalIdentity identity;
    TrustedPeer peer;
};

Phone phone(const testing::TemporaryFolder& folder, const std::string& name, std::uint8_t idByte) {
    auto identity = IdentityStore(Keychain(folder.path() / "phones")).create(name, "QuillmereMac");
    std::array<std::uint8_t, 16> id{};
    id.fill(idByte);
    return {*identity, TrustedPeer(WireID(id), identity->fingerprint, name, PeerRole::client, 1'700'000'000)};
}

testing::TestClient connect(LaunchedHost& host, std::uint16_t port, const Phone& phone) {
    return testing::TestClient::connect(
        port, phone.identity, [](const std::optional<Digest32>&) { return true; }, host.defaults, 5.0);
}

TEST(TrustFollowing, AnotherHostsRemovalHoldsBeforeThePhonesNextSessionWhateverHappenedToTheFolder) {
    enum class When { betweenReadAndWatch, afterTheFolderWasMadeAnew, beforeThisHostHeardOfIt };
    struct Case {
        const char* name;
        When when;
    };
    const Case cases[] = {
        {"between start-up's read and the watch", When::betweenReadAndWatch},
        {"after the folder was moved aside and made again", When::afterTheFolderWasMadeAnew},
        {"before this host heard of it", When::beforeThisHostHeardOfIt},
    };
    for (const Case& c : cases) {
        LaunchedHost host;
        const Phone anna = phone(host.folder, "Anna's iPhone", 1);
        const Phone ben = phone(host.folder, "Ben's iPhone", 2);
        TrustStore other = otherHost(host.keychain());
        ASSERT_TRUE(other.add(anna.peer));
        ASSERT_TRUE(other.add(ben.peer));
        const auto removeAnna = [&] { ASSERT_TRUE(other.remove(anna.peer.deviceID)); };
        if (c.when == When::betweenReadAndWatch) {
            host.options.platform.trace = [&, trace = host.options.platform.trace](std::string_view step) {
                trace(step);
                if (step == "model") removeAnna();
            };
        }
        host.launch();
        CompositionRoot& root = host.root();
        ASSERT_TRUE(pumpUntil([&] { return root.transport->port().has_value(); })) << c.name;
        const std::uint16_t port = *root.transport->port();

        if (c.when == When::afterTheFolderWasMadeAnew) {
            const auto folder = host.keychain().root();
            std::filesystem::rename(folder, folder.string() + "-aside");
            std::filesystem::copy(folder.string() + "-aside", folder, std::filesystem::copy_options::recursive);
            pumpUntil([] { return false; }, std::chrono::milliseconds(50));
            removeAnna();
        }
        if (c.when == When::beforeThisHostHeardOfIt) {
            removeAnna();
            // Only the main queue's own work runs meanwhile, never the folder's
            // watch: the handshake alone reads the stored list, and refuses.
            auto refused = connect(host, port, anna);
            EXPECT_TRUE(testing::eventually([&] {
                QCoreApplication::sendPostedEvents();
                return refused.recorder->waitForClosed(std::chrono::milliseconds(0));
            })) << c.name;
            EXPECT_FALSE(refused.recorder->readyFingerprint().has_value()) << c.name;
            const auto reason = refused.recorder->closedReason();
            ASSERT_TRUE(reason) << c.name;
            EXPECT_NE(reason->description().find("alert"), std::string::npos)
                << c.name << ": " << reason->description();
        }

        EXPECT_TRUE(pumpUntil([&] {
            return root.engine->status().pairedDevices == std::vector<TrustedPeer>{ben.peer};
        })) << c.name;
        EXPECT_EQ(root.transport->trust()->fingerprints(), std::vector<Digest32>{ben.identity.fingerprint}) << c.name;
        auto refused = connect(host, port, anna);
        EXPECT_TRUE(pumpUntil([&] { return refused.recorder->waitForClosed(std::chrono::milliseconds(0)); }))
            << c.name;
        EXPECT_FALSE(refused.recorder->readyFingerprint().has_value()) << c.name;
        auto accepted = connect(host, port, ben);
        EXPECT_TRUE(pumpUntil([&] { return accepted.recorder->readyFingerprint().has_value(); })) << c.name;
    }
}

} // namespace
} // namespace quillmere
