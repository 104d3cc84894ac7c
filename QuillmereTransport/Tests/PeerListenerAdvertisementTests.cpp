// The listener's Bonjour advertisement, seen by avahi-browse through a
// private Avahi daemon on a loopback-only network namespace.

#include "Platform/Bonjour/Tests/AvahiTestDaemon.h"
#include "Platform/Bonjour/Tests/BonjourTestSupport.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::TestSessionListener;

class PeerListenerAdvertisementTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { daemon = new testing::AvahiTestDaemon(); }
    static void TearDownTestSuite() {
        delete daemon;
        daemon = nullptr;
    }
    void SetUp() override {
        if (daemon->namespacesRefused()) GTEST_SKIP() << "network namespaces are not permitted here: " << daemon->problem();
        ASSERT_EQ(daemon->problem(), "");
        host = keychain.make("host");
    }

    // Polls avahi-browse until the entries satisfy done, or a time limit.
    static std::vector<std::vector<std::string>> browseUntil(
        const std::function<bool(const std::vector<std::vector<std::string>>&)>& done) {
        std::vector<std::vector<std::string>> entries;
        for (int attempt = 0; attempt < 60; ++attempt) {
            entries.clear();
            for (const auto& line : daemon->resolved("_quillmere._udp")) {
                auto fields = testing::browseFields(line);
                if (fields.size() >= 10) {
                    entries.push_back({testing::unescapeBrowseField(fields[3]), fields[8], fields[9]});
                }
            }
            if (done(entries)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return entries;
    }

    static testing::AvahiTestDaemon* daemon;
    testing::TestKeychain keychain;
    testing::TestDefaults defaults;
    testing::TrustSet trust;
    std::optional<LocalIdentity> host;
};

testing::AvahiTestDaemon* PeerListenerAdvertisementTest::daemon = nullptr;

TEST_F(PeerListenerAdvertisementTest, AdvertisesTheServiceTypeUnderTheNameWithThePortAndNoTXTRecord) {
    TestSessionListener server(*host, trust, defaults.defaults(), std::string("Quillmere on Test Host"));
    const auto port = server.waitForPort();
    auto entries = browseUntil([](const auto& found) { return !found.empty(); });
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (std::vector<std::string>{"Quillmere on Test Host", std::to_string(port), ""}));

    server.listener->stop();
    entries = browseUntil([](const auto& found) { return found.empty(); });
    EXPECT_TRUE(entries.empty());
}

TEST_F(PeerListenerAdvertisementTest, WithoutAServiceNameNothingIsAdvertised) {
    TestSessionListener server(*host, trust, defaults.defaults());
    server.waitForPort();
    // Long enough for a registration to have been established.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(daemon->resolved("_quillmere._udp").empty());
}

} // namespace
} // namespace quillmere
