#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

namespace quillmere {
namespace {

using testing::pumpUntil;

// Another host of this account removes Anna's iPhone from the list they share.
TEST(TrustFollowing, AnotherHostsRemovalHoldsBeforeThePhonesNextSessionWhateverHappenedToTheFolder) {
    enum When { betweenReadAndWatch, afterTheFolderWasMadeAnew, beforeThisHostHeardOfIt };
    for (const When when : {betweenReadAndWatch, afterTheFolderWasMadeAnew, beforeThisHostHeardOfIt}) {
        testing::LaunchedHost host;
        testing::TestKeychain phones;
        const LocalIdentity anna = phones.make("anna");
        const LocalIdentity ben = phones.make("ben");
        const TrustedPeer annaPeer(WireID(std::array<std::uint8_t, 16>{1}), anna.fingerprint, "A", PeerRole::client, 1);
        const TrustedPeer benPeer(WireID(std::array<std::uint8_t, 16>{2}), ben.fingerprint, "B", PeerRole::client, 1);
        // As the other host saves it: the whole list.
        const auto store = [&](const std::vector<TrustedPeer>& peers) {
            ASSERT_TRUE(KeychainTrustStorage(host.keychain())
                            .save(*TrustStore::encode(peers), KeychainTrustStorage::service(std::nullopt),
                                  KeychainTrustStorage::account));
        };
        store({annaPeer, benPeer});
        if (when == betweenReadAndWatch) {
            host.options.platform.trace = [&, trace = host.options.platform.trace](std::string_view step) {
                trace(step);
                if (step == "model") store({benPeer});
            };
        }
        host.launch();
        CompositionRoot& root = host.root();
        ASSERT_TRUE(pumpUntil([&] { return root.transport->port().has_value(); })) << when;
        const auto connect = [&](const LocalIdentity& phone) {
            return testing::TestClient::connect(
                *root.transport->port(), phone, [](const std::optional<Digest32>&) { return true; }, host.defaults,
                5.0);
        };

        if (when == afterTheFolderWasMadeAnew) {
            const auto folder = host.keychain().root();
            std::filesystem::rename(folder, folder.string() + "-aside");
            std::filesystem::copy(folder.string() + "-aside", folder, std::filesystem::copy_options::recursive);
            pumpUntil([] { return false; }, std::chrono::milliseconds(50));
            store({benPeer});
        }
        if (when == beforeThisHostHeardOfIt) {
            store({benPeer});
            // Only the main queue's own work runs, never the folder's watch:
            // the handshake alone reads the stored list, and refuses.
            auto refused = connect(anna);
            EXPECT_TRUE(testing::eventually([&] {
                QCoreApplication::sendPostedEvents();
                return refused.recorder->waitForClosed(std::chrono::milliseconds(0));
            }));
            EXPECT_FALSE(refused.recorder->readyFingerprint().has_value());
        }

        EXPECT_TRUE(pumpUntil([&] { return root.engine->status().pairedDevices == std::vector{benPeer}; })) << when;
        EXPECT_EQ(root.transport->trust()->fingerprints(), std::vector{ben.fingerprint}) << when;
        auto refused = connect(anna);
        EXPECT_TRUE(pumpUntil([&] { return refused.recorder->waitForClosed(std::chrono::milliseconds(0)); })) << when;
        EXPECT_FALSE(refused.recorder->readyFingerprint().has_value()) << when;
        auto accepted = connect(ben);
        EXPECT_TRUE(pumpUntil([&] { return accepted.recorder->readyFingerprint().has_value(); })) << when;
    }
}

} // namespace
} // namespace quillmere
