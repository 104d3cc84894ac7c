// Publishing through a real Avahi daemon, started for these tests on a
// loopback-only network namespace, and looked up with avahi-browse.

#include "Platform/Bonjour/BonjourAdvertisement.h"
#include "Platform/Bonjour/Tests/BonjourTestSupport.h"
#include "Platform/Log/MemoryLogSink.h"
#include "TestSupport/AvahiTestDaemon.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using testing::AdvertisementStates;
using State = BonjourAdvertisement::State;

constexpr const char* serviceType = "_quillmere._udp";

class BonjourAdvertisementTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { daemon = new testing::AvahiTestDaemon(); }
    static void TearDownTestSuite() {
        delete daemon;
        daemon = nullptr;
    }
    void SetUp() override {
        if (daemon->namespacesRefused()) GTEST_SKIP() << "network namespaces are not permitted here: " << daemon->problem();
        ASSERT_EQ(daemon->problem(), "");
    }

    static std::vector<testing::AvahiTestDaemon::Service> entries() { return daemon->services(serviceType); }

    static testing::AvahiTestDaemon* daemon;
};

testing::AvahiTestDaemon* BonjourAdvertisementTest::daemon = nullptr;

TEST_F(BonjourAdvertisementTest, PublishesTheServiceWithItsPortAndNoTXTRecord) {
    AdvertisementStates states;
    auto advertisement = BonjourAdvertisement::publish("Quillmere Host", serviceType, 47123, states.handler());
    ASSERT_TRUE(states.waitFor(State::established));
    const auto found = entries();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], (testing::AvahiTestDaemon::Service{"Quillmere Host", "127.0.0.1", "47123", ""}));

    advertisement.reset();
    // Withdrawn with the object; the daemon's cache may answer for a moment.
    EXPECT_TRUE(testing::eventually([] { return entries().empty(); }));
}

TEST_F(BonjourAdvertisementTest, CutsALongNameBetweenCharactersTo63Bytes) {
    // 30 two-byte characters and a tail: 63 bytes would split the 32nd character.
    std::string name;
    for (int i = 0; i < 40; ++i) name += "\xC3\xA9"; // é
    AdvertisementStates states;
    auto advertisement = BonjourAdvertisement::publish(name, serviceType, 40000, states.handler());
    EXPECT_EQ(advertisement->name().size(), 62u);
    ASSERT_TRUE(states.waitFor(State::established));
    const auto found = entries();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, name.substr(0, 62));
}

TEST_F(BonjourAdvertisementTest, ATakenNameIsReplacedByAnAlternative) {
    AdvertisementStates first;
    AdvertisementStates second;
    auto a = BonjourAdvertisement::publish("Twin", serviceType, 40001, first.handler());
    ASSERT_TRUE(first.waitFor(State::established));
    auto b = BonjourAdvertisement::publish("Twin", serviceType, 40002, second.handler());
    ASSERT_TRUE(second.waitFor(State::established));
    EXPECT_EQ(a->name(), "Twin");
    EXPECT_NE(b->name(), "Twin");
    std::vector<std::string> names;
    for (const auto& entry : entries()) names.push_back(entry.name + "@" + entry.port);
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected{"Twin@40001", b->name() + "@40002"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

TEST(BonjourWithoutDaemonTest, LogsTheFailureAndKeepsGoing) {
    testing::TemporaryFolder folder;
    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder.path() / "no-bus").string()).c_str(), 1);
    auto sink = std::make_shared<MemoryLogSink>();
    const auto replaced = setDefaultLogSink(sink);
    {
        AdvertisementStates states;
        auto advertisement = BonjourAdvertisement::publish("Lonely", serviceType, 40003, states.handler());
        EXPECT_FALSE(states.waitFor(State::established, std::chrono::seconds(1)));
        EXPECT_EQ(advertisement->state(), State::failed);
    }
    setDefaultLogSink(replaced);
    if (previous != nullptr) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    } else {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    const auto lines = sink->lines("transport");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Bonjour advertisement of Lonely could not reach the Avahi daemon: Daemon not running");
}

} // namespace
} // namespace quillmere
