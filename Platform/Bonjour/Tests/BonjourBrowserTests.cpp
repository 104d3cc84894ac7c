// Browsing against a private Avahi daemon: services are resolved to their
// address and port, and a withdrawn one goes from the list. Like every test
// that points libdbus at a bus of its own, each needs its own process (ctest
// runs them so): libdbus reads the bus address once per process.

#include "Platform/Bonjour/BonjourBrowser.h"
#include "Platform/Bonjour/Tests/BonjourTestSupport.h"
#include "TestSupport/AvahiTestDaemon.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>


namespace quillmere {
namespace {

constexpr const char* type = "_quillmere._udp";

TEST(BonjourBrowser, ResolvesEachServiceAndForgetsAWithdrawnOne) {
    testing::AvahiTestDaemon daemon;
    if (daemon.namespacesRefused()) GTEST_SKIP() << daemon.problem();
    ASSERT_TRUE(daemon.problem().empty()) << daemon.problem();
    testing::AdvertisementStates states;
    auto advertisement = BonjourAdvertisement::publish("Browse me", type, 41234, states.handler());
    ASSERT_TRUE(states.waitFor(BonjourAdvertisement::State::established));

    auto browser = BonjourBrowser::browse(type);
    ASSERT_TRUE(browser) << browser.error();
    auto named = [](const BonjourService& service) { return service.name == "Browse me"; };
    const auto found = (*browser)->waitFor(named, std::chrono::seconds(10));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->address, "127.0.0.1");
    EXPECT_EQ(found->port, 41234);
    EXPECT_FALSE(found->ipv6);
    EXPECT_FALSE((*browser)->failure());

    advertisement.reset();
    EXPECT_TRUE(testing::eventually([&] {
        const auto services = (*browser)->services();
        return std::none_of(services.begin(), services.end(), named);
    }));
}

TEST(BonjourBrowser, WithoutADaemonBrowsingFailsAtOnce) {
    testing::TemporaryFolder folder;
    const char* before = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = before != nullptr ? before : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder.path() / "nobody").string()).c_str(), 1);
    auto browser = BonjourBrowser::browse(type);
    if (before != nullptr) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_FALSE(browser);
    EXPECT_FALSE(browser.error().empty());
}

} // namespace
} // namespace quillmere
