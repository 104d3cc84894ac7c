// The listener's Bonjour advertisement, seen by avahi-browse through a
// private Avahi daemon on a loopback-only network namespace.

#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "TestSupport/AvahiTestDaemon.h"
#include "TestSupport/Eventually.h"

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
    std::vector<testing::AvahiTestDaemon::Service> found;
    ASSERT_TRUE(testing::eventually([&] {
        found = daemon->services("_quillmere._udp");
        return !found.empty();
    }));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "Quillmere on Test Host");
    EXPECT_EQ(found[0].port, std::to_string(port));
    EXPECT_EQ(found[0].txt, "");

    server.listener->stop();
    EXPECT_TRUE(testing::eventually([] { return daemon->services("_quillmere._udp").empty(); }));
}

TEST_F(PeerListenerAdvertisementTest, WithoutAServiceNameNothingIsAdvertised) {
    TestSessionListener server(*host, trust, defaults.defaults());
    server.waitForPort();
    // A named listener started after it is the marker: once it is seen,
    // a registration of the first would have been too.
    TestSessionListener marker(*host, trust, defaults.defaults(), std::string("Marker"));
    marker.waitForPort();
    std::vector<testing::AvahiTestDaemon::Service> found;
    ASSERT_TRUE(testing::eventually([&] {
        found = daemon->services("_quillmere._udp");
        return !found.empty();
    }));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "Marker");
}

} // namespace
} // namespace quillmere
