// What the viewer keeps in its state folder, and how the host of a session
// is found among the paired ones: by address, or by its advertisement.
// libdbus reads the system bus address once per process, so the tests that
// point it at a private daemon (or at none) each need a process of their
// own, as ctest runs them.

#include "Platform/Bonjour/BonjourAdvertisement.h"
#include "Platform/Bonjour/Tests/BonjourTestSupport.h"
#include "QuillmereViewer/HostLocator.h"
#include "QuillmereViewer/ViewerState.h"
#include "QuillmereWire/WireProtocol.h"
#include "TestSupport/AvahiTestDaemon.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quillmere {
namespace {

using testing::TemporaryFolder;

TrustedPeer host(std::string name, std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes{};
    bytes.fill(fill);
    std::array<std::uint8_t, 16> identifier{};
    identifier.fill(fill);
    return TrustedPeer(WireID(identifier), Digest32(bytes), name, PeerRole::host, 1);
}

TEST(ViewerState, IdentityAndDeviceIdentifierAreMadeOnceAndKept) {
    TemporaryFolder folder;
    ViewerState first(folder.path() / "state");
    auto identity = first.identity();
    ASSERT_TRUE(identity) << identity.error();
    auto device = first.deviceID();
    ASSERT_TRUE(device) << device.error();
    EXPECT_NE(*device, WireID{});
    EXPECT_EQ(identity->label, ViewerState::identityLabel);

    ViewerState again(folder.path() / "state");
    EXPECT_EQ(again.identity()->fingerprint, identity->fingerprint);
    EXPECT_EQ(*again.deviceID(), *device);

    struct stat info{};
    ASSERT_EQ(::stat((folder.path() / "state" / "keychain").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << "the keys are the user's alone";

    ViewerState other(folder.path() / "other");
    EXPECT_NE(*other.deviceID(), *device);
    EXPECT_NE(other.identity()->fingerprint, identity->fingerprint);
}

TEST(ViewerState, PairedHostsAreKeptBetweenRuns) {
    TemporaryFolder folder;
    {
        auto store = ViewerState(folder.path()).trustStore();
        ASSERT_TRUE(store) << store.error();
        EXPECT_TRUE(store->peers().empty());
        ASSERT_TRUE(store->add(host("Studio", 1)));
        ASSERT_TRUE(store->add(host("Office", 2)));
    }
    auto store = ViewerState(folder.path()).trustStore();
    ASSERT_TRUE(store);
    ASSERT_EQ(store->peers().size(), 2u);
    EXPECT_EQ(store->peers()[1].name, "Office");
}

TEST(ViewerState, ADamagedListOfHostsIsAnErrorNotAnEmptyList) {
    TemporaryFolder folder;
    ViewerState state(folder.path());
    KeychainItem item;
    item.service = "com.ornbeck.quillmere.viewer.trust";
    item.account = "paired-hosts";
    item.data = {9, 9, 9};
    ASSERT_EQ(state.keychain().add(item), KeychainStatus::success);
    auto store = state.trustStore();
    ASSERT_FALSE(store);
    EXPECT_NE(store.error().find("could not be read"), std::string::npos) << store.error();
}

TEST(ViewerState, TheNamePairedUnderIsKept) {
    TemporaryFolder folder;
    ViewerState state(folder.path());
    EXPECT_FALSE(state.deviceName());
    ASSERT_TRUE(state.setDeviceName("Bench phone"));
    ASSERT_TRUE(state.setDeviceName("Bench phone 2"));
    EXPECT_EQ(ViewerState(folder.path()).deviceName(), "Bench phone 2");
}

TEST(ViewerState, TheDefaultDeviceNameFitsTheWire) {
    const std::string name = ViewerState::defaultDeviceName();
    EXPECT_EQ(name.rfind("Quillmere Viewer", 0), 0u);
    EXPECT_LE(name.size(), WireProtocol::maxNameBytes);
}

TEST(HostLocator, CandidatesAreThePairedHostsOrTheOneNamed) {
    const std::vector<TrustedPeer> peers = {host("Studio", 1), host("Office", 2),
                                            TrustedPeer(WireID{}, Digest32{}, "A phone", PeerRole::client, 1)};
    EXPECT_EQ(HostLocator::candidates(peers, std::nullopt)->size(), 2u);
    EXPECT_EQ(HostLocator::candidates(peers, "Office")->at(0).name, "Office");
    EXPECT_EQ(HostLocator::candidates(peers, "Attic").error().text, "no paired host is named \"Attic\"");
    EXPECT_EQ(HostLocator::candidates({}, std::nullopt).error().text,
              "no paired host: pair with one first (quillmere-viewer pair <invitation>)");
}

TEST(HostLocator, AdvertisedNamesAreTheHostNamesCutTo63Bytes) {
    const std::string longName = std::string(62, 'x') + "é";
    EXPECT_TRUE(HostLocator::advertises("Studio", "Studio"));
    EXPECT_FALSE(HostLocator::advertises("Studio", "Studio Mac"));
    EXPECT_TRUE(HostLocator::advertises(std::string(62, 'x'), longName)) << "é would pass 63 bytes";
    EXPECT_TRUE(HostLocator::advertises("Studio #2", "Studio"));
    EXPECT_FALSE(HostLocator::advertises("Studio #x", "Studio"));
    EXPECT_FALSE(HostLocator::advertises("Other #2", "Studio"));
}

TEST(HostLocator, AddressesAreNumericOrResolved) {
    EXPECT_EQ(HostLocator::resolve("127.0.0.1", 4433)->description(), "127.0.0.1:4433");
    auto local = HostLocator::resolve("localhost", 4433);
    ASSERT_TRUE(local) << local.error();
    EXPECT_EQ(local->port(), 4433);
    EXPECT_FALSE(HostLocator::resolve("no-such-host.invalid", 4433));
}

TEST(HostLocator, APairedHostIsFoundByItsAdvertisement) {
    testing::AvahiTestDaemon daemon;
    if (daemon.namespacesRefused()) GTEST_SKIP() << daemon.problem();
    ASSERT_TRUE(daemon.problem().empty()) << daemon.problem();
    testing::AdvertisementStates otherStates;
    testing::AdvertisementStates studioStates;
    auto other = BonjourAdvertisement::publish("Someone else", std::string(WireProtocol::serviceType), 40001,
                                               otherStates.handler());
    auto studio = BonjourAdvertisement::publish("Studio", std::string(WireProtocol::serviceType), 40002,
                                                studioStates.handler());
    ASSERT_TRUE(otherStates.waitFor(BonjourAdvertisement::State::established));
    ASSERT_TRUE(studioStates.waitFor(BonjourAdvertisement::State::established));
    auto found = HostLocator::browse({host("Studio", 1)}, std::chrono::seconds(10));
    ASSERT_TRUE(found) << found.error().text;
    EXPECT_EQ(found->address.description(), "127.0.0.1:40002");
    EXPECT_EQ(found->description, "\"Studio\" at 127.0.0.1:40002");

    auto missing = HostLocator::browse({host("Attic", 3)}, std::chrono::milliseconds(300));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().text,
              "no paired host (\"Attic\") is advertised on the network; give its address with --host and --port");
}

TEST(HostLocator, BrowsingWithoutADaemonSaysSoAtOnce) {
    const char* before = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved = before != nullptr ? before : "";
    TemporaryFolder folder;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (folder.path() / "nobody").string()).c_str(), 1);
    auto found = HostLocator::browse({host("Studio", 1)}, std::chrono::seconds(10));
    if (before != nullptr) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error().text.rfind("cannot browse for the host (", 0), 0u) << found.error().text;
    EXPECT_NE(found.error().text.find("--host and --port"), std::string::npos);
}

} // namespace
} // namespace quillmere
