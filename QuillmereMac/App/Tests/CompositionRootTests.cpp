#include "QuillmereMac/App/HostNaming.h"
#include "QuillmereMac/Desktop/DesktopEnvironment.h"
#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/XvfbServer.h"

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>

#include <unistd.h>

namespace quillmere {
namespace {

using testing::addAndWait;
using testing::LaunchedHost;
using testing::TemporaryFolder;
using testing::pumpUntil;

// The composition as the launch takes it, identity made on first launch.
const std::vector<std::string> launchSteps{
    "consent",  "catalog",        "trust store", "identity",         "identity created",  "engine",
    "model",    "device identifier", "transport", "registered defaults", "auto-approve", "input side", "pipeline",
    "delegate", "services",       "trusted fingerprints", "pairing", "session change",
    "updater",  "controller",     "controller start", "diagnostics"};

TEST(RootNames, ScopeTable) {
    struct Case {
        RootNames::Environment environment;
        std::optional<std::string> scope;
        std::string trustService;
        std::string identityLabel;
        std::string pairingAddress;
    };
    const Case cases[] = {
        {{}, std::nullopt, "com.ornbeck.quillmere.mac.trust", "com.ornbeck.quillmere.mac.identity", "mac.local"},
        // An empty scope is no scope, and the pairing address is then not read.
        {{{"QUILLMERE_MAC_KEYCHAIN_SCOPE", ""}, {"QUILLMERE_MAC_PAIRING_ADDRESS", "10.0.0.9"}},
         std::nullopt, "com.ornbeck.quillmere.mac.trust", "com.ornbeck.quillmere.mac.identity", "mac.local"},
        {{{"QUILLMERE_MAC_KEYCHAIN_SCOPE", "t1"}}, "t1", "com.ornbeck.quillmere.mac.trust.t1",
         "com.ornbeck.quillmere.mac.identity.t1", "mac.local"},
        {{{"QUILLMERE_MAC_KEYCHAIN_SCOPE", "t1"}, {"QUILLMERE_MAC_PAIRING_ADDRESS", "127.0.0.1"}}, "t1",
         "com.ornbeck.quillmere.mac.trust.t1", "com.ornbeck.quillmere.mac.identity.t1", "127.0.0.1"},
        // Used as it is, even when empty.
        {{{"QUILLMERE_MAC_KEYCHAIN_SCOPE", "t1"}, {"QUILLMERE_MAC_PAIRING_ADDRESS", ""}}, "t1",
         "com.ornbeck.quillmere.mac.trust.t1", "com.ornbeck.quillmere.mac.identity.t1", ""},
    };
    for (const Case& c : cases) {
        const RootNames names = RootNames::from(c.environment, "Mac Name", "mac.local");
        EXPECT_EQ(names.scope, c.scope);
        EXPECT_EQ(names.trustService, c.trustService);
        EXPECT_EQ(names.trustAccount, "paired-devices");
        EXPECT_EQ(names.identityLabel, c.identityLabel);
        EXPECT_EQ(names.pairingAddress, c.pairingAddress);
        EXPECT_EQ(names.advertise, !c.scope.has_value());
        EXPECT_EQ(names.hostName, "Mac Name");
    }
}

TEST(HostNaming, PrettyNameThenHostNameThenMac) {
    EXPECT_EQ(HostNaming::localizedName(std::string("Ada's Laptop"), std::string("ada")), "Ada's Laptop");
    EXPECT_EQ(HostNaming::localizedName(std::string(""), std::string("ada")), "ada");
    EXPECT_EQ(HostNaming::localizedName(std::nullopt, std::nullopt), "Mac");
    EXPECT_EQ(HostNaming::mdnsHostName(std::string("ada.example.org")), "ada.local");
    EXPECT_EQ(HostNaming::mdnsHostName(std::nullopt), "localhost");

    TemporaryFolder folder;
    std::ofstream(folder.path() / "machine-info") << "ICON_NAME=computer\nPRETTY_HOSTNAME=\"Ada\\'s \\\"Big\\\" Box\"\n";
    EXPECT_EQ(HostNaming::prettyName(folder.path() / "machine-info"), "Ada's \"Big\" Box");
    EXPECT_EQ(HostNaming::prettyName(folder.path() / "missing"), std::nullopt);
}

TEST(CompositionRoot, DeviceIdentifierIsTheFingerprintsFirstSixteenBytes) {
    Bytes fingerprint(32);
    for (std::size_t i = 0; i < fingerprint.size(); ++i) fingerprint[i] = static_cast<std::uint8_t>(i + 1);
    const WireID id = CompositionRoot::deviceIDOf(fingerprint);
    EXPECT_TRUE(std::equal(id.view().begin(), id.view().end(), fingerprint.begin()));
    EXPECT_EQ(CompositionRoot::deviceIDOf(ByteView(fingerprint).first(8)), WireID{});
    EXPECT_EQ(CompositionRoot::deviceIDOf(ByteView(fingerprint).first(16)),
              *WireID::fromBytes(ByteView(fingerprint).first(16)));
}

// A desktop that makes inert backends and counts what it was asked for.
class RecordingDesktop final : public DesktopEnvironment {
public:
    struct NoVirtualDisplays final : VirtualDisplayMaking {
        std::unique_ptr<VirtualDisplayHandle> make(const std::string&, std::int64_t, std::int64_t) override {
            return nullptr;
        }
        bool mirror(std::uint32_t) override { return false; }
    };

    WindowCatalog::ContentFetcher contentFetcher() override { return ask("content", WindowCatalog::noContent()); }
    ScreenCaptureStreamFactory captureStreams() override { return ask("streams", ScreenCaptureStreamFactory()); }
    DisplayQueries displayQueries() override {
        return ask("displays", DisplayQueries{[](int) { return std::optional<DisplayQueries::PixelSize>(); },
                                              [](std::uint32_t) { return false; }});
    }
    std::shared_ptr<AudioSource> makeAudioSource(AudioCaptureFilter) override {
        return ask("audio", std::shared_ptr<AudioSource>());
    }
    CursorShapeWatcher::Sample cursorSampler() override {
        return ask("cursor", CursorShapeWatcher::Sample([] { return std::optional<SystemCursor>(); }));
    }
    std::expected<std::shared_ptr<EventPosting>, std::string> makeEventPoster() override {
        return ask("poster", std::expected<std::shared_ptr<EventPosting>, std::string>(std::unexpected("none here")));
    }
    std::expected<std::shared_ptr<WindowSystem>, std::string> makeWindowSystem() override {
        return ask("windows", std::expected<std::shared_ptr<WindowSystem>, std::string>(std::unexpected("none here")));
    }
    std::shared_ptr<PasteboardAccess> makePasteboard(Executor&) override {
        return ask("pasteboard", std::shared_ptr<PasteboardAccess>());
    }
    DisplayTextSize::Displays textSizeDisplays() override {
        using Mode = DisplayTextSize::LiveMode;
        return ask("text size", DisplayTextSize::Displays{[] { return 0u; },
                                                          [](std::uint32_t) { return std::optional<Mode>(); },
                                                          [](std::uint32_t) { return std::vector<Mode>(); },
                                                          [](std::uint32_t, const Mode&, bool) { return false; }});
    }
    std::shared_ptr<VirtualDisplayMaking> makeVirtualDisplays() override {
        return ask("virtual displays", std::shared_ptr<VirtualDisplayMaking>(std::make_shared<NoVirtualDisplays>()));
    }
    std::shared_ptr<PermissionChecking> makePermissions() override {
        return ask("permissions", std::shared_ptr<PermissionChecking>(std::make_shared<testing::PermissionsStub>()));
    }
    AwakeWhileStreaming::Begin awakeActivity() override { return ask("awake", AwakeWhileStreaming::Begin()); }
    std::function<std::optional<WiFiStatus>()> wifi() override {
        return ask("wifi", std::function<std::optional<WiFiStatus>()>([] { return std::optional<WiFiStatus>(); }));
    }
    std::function<bool()> peerToPeerRunning() override {
        return ask("peer to peer", std::function<bool()>([] { return false; }));
    }
    std::function<std::vector<DisplayRecords::Screen>()> screens() override {
        return ask("screens", std::function<std::vector<DisplayRecords::Screen>()>(
                                  [] { return std::vector<DisplayRecords::Screen>(); }));
    }

    std::map<std::string, int> asked;

private:
    template <class T>
    T ask(const std::string& what, T made) {
        ++asked[what];
        return made;
    }
};

TEST(CompositionRoot, LaunchComposesInOrderAndRegistersAutoApproval) {
    LaunchedHost host;
    host.launch();
    EXPECT_EQ(host.steps, launchSteps);
    ASSERT_NE(host.delegate->root(), nullptr);
    CompositionRoot& root = host.root();
    EXPECT_TRUE(root.transport->trust()->fingerprints().empty());
    EXPECT_EQ(root.names.hostName, "Test Mac");
    // No feed in the settings: no updater.
    EXPECT_EQ(host.delegate->updater(), nullptr);
    // Registered on, and read at every request.
    EXPECT_TRUE(root.consent->autoApproveSessions());
    host.defaults.setValue(HostStatusModel::autoApproveKey, false);
    EXPECT_FALSE(root.consent->autoApproveSessions());
    EXPECT_EQ(root.engine->status().phase, HostStatus::Phase::running);
    EXPECT_TRUE(host.alerts.empty());

    // A second composition over the same keychain loads the identity made by the first.
    host.steps.clear();
    auto again = CompositionRoot::make(root.names, host.options.platform);
    ASSERT_TRUE(again) << again.error().description();
    EXPECT_EQ(std::find(host.steps.begin(), host.steps.end(), "identity created"), host.steps.end());
    EXPECT_EQ((*again)->identity->fingerprint, root.identity->fingerprint);
}

TEST(CompositionRoot, EveryBackendComesFromTheDesktopAskedOnce) {
    LaunchedHost host;
    const auto desktop = std::make_shared<RecordingDesktop>();
    host.options.platform.desktop = desktop;
    host.launch();
    ASSERT_NE(host.delegate->root(), nullptr);
    // Sound is asked for only when a session streams.
    const std::map<std::string, int> once{
        {"content", 1}, {"streams", 1},   {"displays", 1},     {"cursor", 1},       {"poster", 1},
        {"windows", 1}, {"pasteboard", 1}, {"text size", 1},   {"virtual displays", 1}, {"awake", 1},
        {"wifi", 1},    {"peer to peer", 1}, {"screens", 1}, {"permissions", 1}};
    EXPECT_EQ(desktop->asked, once);
    EXPECT_EQ(&host.root().desktop(), desktop.get());
}

TEST(CompositionRoot, TestPatternFollowsTheSettingElseTheEnvironment) {
    struct Case {
        std::optional<bool> setting;
        std::optional<std::string> variable;
        bool offered;
    };
    const Case cases[] = {{std::nullopt, std::nullopt, false}, {std::nullopt, "1", true}, {std::nullopt, "0", false},
                          {true, std::nullopt, true},         {false, "1", true},         {false, "true", false}};
    for (const Case& c : cases) {
        RootNames::Environment environment;
        if (c.variable) environment.emplace("QUILLMERE_MAC_TEST_PATTERN", *c.variable);
        LaunchedHost host(environment);
        if (c.setting) host.defaults.setValue(HostStatusModel::testPatternKey, *c.setting);
        host.launch();
        EXPECT_EQ(host.root().pipeline->testPatternEnabled(), c.offered)
            << c.setting.value_or(false) << " " << c.variable.value_or("-");
    }
}

// What lies at a path, as lstat sees it and, for a file, its bytes.
std::string snapshotOf(const std::filesystem::path& path) {
    const auto status = std::filesystem::symlink_status(path);
    if (std::filesystem::is_symlink(status)) return "link to " + std::filesystem::read_symlink(path).string();
    if (std::filesystem::is_directory(status)) return "folder";
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CompositionRoot, AnUnreadableTrustStoreOrIdentityAlertsAndExitsWithoutMakingAnything) {
    using Prepare = std::function<std::filesystem::path(LaunchedHost&)>;
    const Bytes garbage{0xde, 0xad, 0xbe, 0xef};
    const auto trustItem = [](LaunchedHost& host) {
        KeychainTrustStorage storage(host.keychain());
        const auto service = KeychainTrustStorage::service(std::nullopt);
        EXPECT_TRUE(storage.save(Bytes{1, 0}, service, KeychainTrustStorage::account));
        return storage.fileOf(service, KeychainTrustStorage::account);
    };
    const auto identityItem = [](LaunchedHost& host) {
        const std::string label = IdentityStore::hostLabel(std::nullopt);
        EXPECT_TRUE(IdentityStore(host.keychain()).create(label, "QuillmereMac"));
        KeychainItem bytes;
        bytes.service = std::string(IdentityStore::certificateService);
        bytes.account = label;
        return host.keychain().fileOf(bytes);
    };
    // The record's bytes replaced as damage outside the program would.
    const auto overwrite = [](std::function<std::string(const std::string&)> damage) {
        return [damage](const std::filesystem::path& file) {
            std::ifstream in(file, std::ios::binary);
            const std::string whole((std::istreambuf_iterator<char>(in)), {});
            std::ofstream(file, std::ios::binary | std::ios::trunc) << damage(whole);
        };
    };
    const std::string newer = "If a newer Quillmere wrote it, use that one. Otherwise move it aside to start afresh; "
                              "paired iPhones then pair again.";
    const std::map<std::string, std::function<void(const std::filesystem::path&)>> damages{
        {"empty", overwrite([](const std::string&) { return std::string(); })},
        {"of a newer format", overwrite([](std::string whole) { return whole.replace(3, 1, "2"); })},
        {"cut in half", overwrite([](const std::string& whole) { return whole.substr(0, whole.size() / 2); })},
        {"random bytes", overwrite([](const std::string& whole) {
             std::string random(whole.size(), '\0');
             for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<char>((i * 7919u + 13u) & 0xff);
             return random;
         })},
        {"another format", overwrite([](const std::string&) { return std::string("[paired-devices]\nphone=1\n"); })},
        {"symbolic link to a good copy",
         [](const std::filesystem::path& file) {
             const auto copy = file.parent_path().parent_path() / (file.filename().string() + ".copy");
             std::filesystem::rename(file, copy);
             std::filesystem::create_symlink(copy, file);
         }},
        {"writable by others", [](const std::filesystem::path& file) { std::filesystem::permissions(file, std::filesystem::perms::all); }},
    };
    struct Case {
        std::string name;
        Prepare prepare;
        std::vector<std::string> steps;
        // A blob of garbage may be a newer format: the advice says both.
        std::string advice = "ove it aside to start afresh; paired iPhones then pair again.";
    };
    const std::vector<std::string> trustSteps{"consent", "catalog", "trust store"};
    const std::vector<std::string> identitySteps{"consent", "catalog", "trust store", "identity"};
    std::vector<Case> cases{
        {"trust blob of garbage",
         [&](LaunchedHost& host) {
             KeychainTrustStorage storage(host.keychain());
             const auto service = KeychainTrustStorage::service(std::nullopt);
             EXPECT_TRUE(storage.save(garbage, service, KeychainTrustStorage::account));
             return storage.fileOf(service, KeychainTrustStorage::account);
         },
         trustSteps},
        {"certificate of garbage",
         [&](LaunchedHost& host) {
             KeychainItem certificate;
             certificate.service = std::string(IdentityStore::certificateService);
             certificate.account = IdentityStore::hostLabel(std::nullopt);
             certificate.data = garbage;
             EXPECT_EQ(host.keychain().add(certificate), KeychainStatus::success);
             return host.keychain().fileOf(certificate);
         },
         identitySteps},
    };
    for (const auto& [name, damage] : damages) {
        const std::string advice = name == "of a newer format" ? newer : Case{}.advice;
        cases.push_back({"trust record " + name, [&, damage = damage](LaunchedHost& host) {
                             const auto file = trustItem(host);
                             damage(file);
                             return file;
                         }, trustSteps, advice});
        cases.push_back({"identity record " + name, [&, damage = damage](LaunchedHost& host) {
                             const auto file = identityItem(host);
                             damage(file);
                             return file;
                         }, identitySteps, advice});
    }
    if (::geteuid() == 0) {
        cases.push_back({"keychain folder of another account", [&](LaunchedHost& host) {
                             const auto file = trustItem(host);
                             EXPECT_EQ(::chown(file.parent_path().c_str(), 12345, 12345), 0);
                             return file.parent_path();
                         }, trustSteps});
    }
    // Moving the keychain aside would leave it beneath the same folder.
    cases.push_back({"keychain beneath a folder others may change", [&](LaunchedHost& host) {
                         const auto file = trustItem(host);
                         std::filesystem::permissions(host.folder.path(), std::filesystem::perms::all);
                         return file.parent_path();
                     }, trustSteps, "Moving it aside would not help"});
    // A keychain that cannot be made, as where a home folder is missing.
    cases.push_back({"keychain folder that cannot be made", [&](LaunchedHost& host) {
                         host.folder.write("file", "");
                         host.options.platform.keychain = Keychain(host.folder.path() / "file" / "keychain");
                         return host.folder.path() / "file" / "keychain";
                     }, trustSteps, "/file is not a folder."});
    // Only making an identity takes the lock: what is said fits the lock.
    std::optional<testing::ChildProcess> holder;
    cases.push_back({"lock file others can write", [&](LaunchedHost& host) {
                         trustItem(host);
                         std::filesystem::permissions(host.keychain().lockFile(), std::filesystem::perms::all);
                         return host.keychain().lockFile();
                     }, identitySteps, "(mode 0777); it holds nothing and can be removed."});
    cases.push_back({"lock held by a host that does not answer", [&](LaunchedHost& host) {
                         trustItem(host);
                         host.options.platform.keychain = Keychain(host.keychain().root(), std::chrono::seconds(0));
                         holder = testing::ChildProcess::holdingLock(host.keychain().lockFile());
                         return host.keychain().lockFile();
                     }, identitySteps, " is held by another Quillmere that does not answer; nothing was changed."});
    for (const Case& c : cases) {
        LaunchedHost host;
        const std::filesystem::path damaged = c.prepare(host);
        const std::string before = snapshotOf(damaged);
        KeychainQuery keys;
        keys.itemClass = KeychainItemClass::key;
        const std::size_t keysBefore = host.keychain().copyAll(keys).value_or(std::vector<KeychainItem>{}).size();
        host.launch();

        ASSERT_EQ(host.alerts.size(), 1u) << c.name;
        EXPECT_EQ(host.alerts[0].first, "Quillmere could not start");
        const std::string& detail = host.alerts[0].second;
        EXPECT_NE(detail.find(damaged.string() + " "), std::string::npos) << c.name << ": " << detail;
        EXPECT_NE(detail.find(c.advice), std::string::npos) << c.name << ": " << detail;
        // Moving a record aside loses the pairings; nothing else says so.
        EXPECT_EQ(detail.find("pair again") == std::string::npos, c.advice.find("pair again") == std::string::npos)
            << c.name << ": " << detail;
        EXPECT_EQ(snapshotOf(damaged), before) << c.name;
        EXPECT_EQ(host.exits, std::vector<int>{1});
        EXPECT_EQ(host.delegate->root(), nullptr);
        EXPECT_EQ(host.delegate->controller(), nullptr);
        EXPECT_EQ(host.delegate->updater(), nullptr);
        EXPECT_EQ(host.steps, c.steps) << c.name;
        // Nothing after the failure: no defaults registered, no identity made.
        EXPECT_FALSE(host.defaults.objectForKey(HostStatusModel::autoApproveKey).isValid());
        EXPECT_EQ(host.keychain().copyAll(keys).value_or(std::vector<KeychainItem>{}).size(), keysBefore) << c.name;
        // A later quit request ends at once too.
        EXPECT_EQ(host.delegate->shouldTerminate(), AppDelegate::TerminateReply::now);
    }
}

// Never a code where words belong ("versionMismatch(0)", "status(-36)",
// "(7)"), and the advice that fits the file.
TEST(CompositionRoot, EveryTrustOrIdentityFailureIsInWordsWithAdviceThatFits) {
    const std::regex code(R"([A-Za-z_]\(|\(\s*[-\w."]+\s*\))");
    const std::string record = "/home/a/.local/share/quillmere/keychain/password-82";
    const auto corrupt = [&](const Bytes& blob) {
        return CompositionError{TrustStore::decode(viewOf(blob)).error().at(record)};
    };
    // A stored list of one device with one byte changed or added: after
    // version and count, the identifier (16), the fingerprint (32), the
    // name's length, the name, the role.
    const auto listWith = [](std::size_t offset, std::uint8_t value) {
        Bytes blob = *TrustStore::encode(
            std::vector<TrustedPeer>{TrustedPeer(WireID{}, Digest32{}, "Phone", PeerRole::client, 1)});
        blob.resize(std::max(blob.size(), offset + 1));
        blob[offset] = value;
        return blob;
    };
    constexpr std::size_t nameLength = 2 + 16 + 32, nameStart = nameLength + 1, role = nameStart + 5;
    const std::string afresh = "ove it aside to start afresh; paired iPhones then pair again.";
    const std::string readable = "Make it readable by this account to keep the paired iPhones.";
    const std::string newer = "If a newer Quillmere wrote it, use that one. Otherwise m" + afresh;
    // The keychain's own failure of a record, as a read of it reports it.
    const auto keychainFault = [&](KeychainOutcome::Fault fault, std::string reason) {
        KeychainOutcome outcome(fault == KeychainOutcome::Fault::newerFormat ? KeychainStatus::decode
                                                                             : KeychainStatus::io,
                                record, std::move(reason));
        outcome.fault = fault;
        return outcome;
    };
    const auto unreadable = keychainFault(KeychainOutcome::Fault::unreadable, "cannot be read: permission denied");
    const auto newerRecord = keychainFault(KeychainOutcome::Fault::newerFormat,
                                           "holds a record of a newer format (version 2) than this version reads");
    struct Case {
        CompositionError error;
        std::string says;
        // How the text ends; none: with what it says, and no word of pairing again.
        std::string advice;
    };
    const Case cases[] = {
        {corrupt(Bytes{2, 0}),
         record + " holds paired devices in a newer format (version 2) than this version of Quillmere reads", newer},
        {corrupt(Bytes{0, 0}),
         record + " holds paired devices in a format that this version of Quillmere does not know (version 0)", afresh},
        {corrupt(Bytes{1}), record + " is damaged: its list of paired devices ends too soon", afresh},
        {corrupt(Bytes{1, 33}), record + " is damaged: it counts more than 32 paired devices", afresh},
        {corrupt(listWith(role, 7)),
         record + " gives a paired device role 7, which this version of Quillmere does not know", afresh},
        {corrupt(listWith(nameLength, 65)), record + " is damaged: a paired device's name is longer than 64 bytes",
         afresh},
        {corrupt(listWith(nameStart, 0xFF)), record + " is damaged: a paired device's name is not UTF-8 text", afresh},
        {corrupt(listWith(role + 9, 0)), record + " is damaged: something follows its list of paired devices", afresh},
        {CompositionError{
             TrustStoreError::storage(KeychainTrustStorage::Failure::status(KeychainStatus::io).description())},
         "the paired iPhones could not be read: input/output error", afresh},
        // Mending its mode keeps the pairings; a newer Quillmere reads a newer record.
        {CompositionError{KeychainTrustStorage::Failure::of(unreadable)},
         "the paired iPhones could not be read: " + record + " cannot be read: permission denied", readable},
        {CompositionError{IdentityError::keychain(unreadable)},
         "the host's identity could not be read: " + record + " cannot be read: permission denied", readable},
        {CompositionError{KeychainTrustStorage::Failure::of(newerRecord)}, record + " holds a record of a newer format",
         newer},
        {CompositionError{IdentityError::keychain(KeychainStatus::io)},
         "the host's identity could not be read: input/output error", afresh},
        {CompositionError{IdentityError::identity(KeychainStatus::itemNotFound)},
         "its private key cannot be found: no such item", afresh},
        {CompositionError{IdentityError::identity(KeychainStatus::decode, "/k/key-1 is damaged")},
         "its private key cannot be read: /k/key-1 is damaged", afresh},
        // The keychain folder: what helps depends on what is wrong with it.
        {CompositionError{KeychainFolderError{"/k", {PrivateFiles::Problem::Kind::foreign, "belongs to uid 7"}}},
         "/k belongs to uid 7. Make it this account's alone, or m", afresh},
        {CompositionError{KeychainFolderError{"/k", {PrivateFiles::Problem::Kind::above, "is inside /x, mode 0777"}}},
         "/k is inside /x, mode 0777. Moving it aside would not help",
         "by mending that folder or by setting XDG_DATA_HOME to a folder of your own."},
        {CompositionError{KeychainFolderError{"/k", {PrivateFiles::Problem::Kind::failed, "cannot be made: no space"}}},
         "the keychain folder cannot be used: /k cannot be made: no space", ""},
        {CompositionError{IdentityError::keyGeneration("random")},
         "the host's identity could not be made: its key could not be made: no random bytes could be drawn", ""},
        {CompositionError{IdentityError::signing("unknown")},
         "its certificate could not be signed: the system gave no reason", ""},
        {CompositionError{IdentityError::certificate()}, "its certificate cannot be read or made", afresh},
    };
    for (const Case& c : cases) {
        const std::string text = c.error.description();
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_FALSE(std::regex_search(text, code)) << text;
        EXPECT_TRUE(text.ends_with(c.advice.empty() ? c.says + "." : c.advice)) << text;
        EXPECT_EQ(text.find("pair again") == std::string::npos, c.advice.find("pair again") == std::string::npos)
            << text;
    }
}

// Records are replaced whole, so a start that finds its identity does not
// wait on a host that holds the lock.
TEST(CompositionRoot, AStartThatFindsItsIdentityTakesNoLock) {
    LaunchedHost host;
    ASSERT_TRUE(IdentityStore(host.keychain()).create(IdentityStore::hostLabel(std::nullopt), "QuillmereMac"));
    const auto holder = testing::ChildProcess::holdingLock(host.keychain().lockFile());
    host.launch();
    EXPECT_TRUE(host.alerts.empty());
    EXPECT_NE(host.delegate->root(), nullptr);
}

// Colours the host cannot share end the launch before anything is composed;
// an alert says so where Qt can draw it (a palette is the program's test).
TEST(CompositionRoot, ADesktopOfColoursTheHostCannotShareEndsTheLaunchInWords) {
    testing::XvfbServer server({.screens = {{320, 240, 24}}, .visualClass = XCB_VISUAL_CLASS_DIRECT_COLOR});
    ASSERT_TRUE(server.ready()) << server.failure();
    LaunchedHost host;
    host.options.platform.displayName = server.displayName();
    ::testing::internal::CaptureStderr();
    host.launch();
    // Begun with "T" in the alert, "t" in the log.
    const std::string told = "his desktop's colours (24 bits) go through a colour map, which Quillmere cannot share; "
                             "start the desktop in TrueColor, at one of the depths that work: 15, 16, 24 and 30 bits.";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "quillmere-host: Quillmere could not start: t" + told + "\n");
    using Alerts = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(host.alerts, (Alerts{{"Quillmere could not start", "T" + told}}));
    EXPECT_EQ(host.exits, std::vector<int>{1});
    EXPECT_TRUE(host.steps.empty());
    EXPECT_EQ(host.delegate->root(), nullptr);
}

TEST(CompositionRoot, AScopedQuitTearsDownThenDeletesTheScopesItemsOnly) {
    LaunchedHost host(RootNames::Environment{{"QUILLMERE_MAC_KEYCHAIN_SCOPE", "t1"}});
    const IdentityStore identities(host.keychain());
    ASSERT_TRUE(identities.create(IdentityStore::hostLabel(std::nullopt), "QuillmereMac"));
    host.launch();
    CompositionRoot& root = host.root();
    EXPECT_FALSE(root.names.advertise);
    EXPECT_EQ(root.identity->label, "com.ornbeck.quillmere.mac.identity.t1");
    // A paired device makes the trust item exist.
    TrustedPeer peer(WireID{}, Digest32{}, "Phone", PeerRole::client, 1);
    ASSERT_TRUE(addAndWait(*root.engine, peer));
    const KeychainTrustStorage trust(host.keychain());
    ASSERT_TRUE(trust.load("com.ornbeck.quillmere.mac.trust.t1", "paired-devices")->has_value());

    EXPECT_EQ(host.delegate->shouldTerminate(), AppDelegate::TerminateReply::later);
    // A second request while tearing down is answered at once.
    EXPECT_EQ(host.delegate->shouldTerminate(), AppDelegate::TerminateReply::now);
    ASSERT_TRUE(pumpUntil([&] { return !host.exits.empty(); }));
    EXPECT_EQ(host.exits, std::vector<int>{0});
    const std::vector<std::string> tail(host.steps.end() - 2, host.steps.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"torn down", "scoped cleanup"}));
    EXPECT_EQ(root.engine->status().phase, HostStatus::Phase::stopped);

    EXPECT_FALSE(trust.load("com.ornbeck.quillmere.mac.trust.t1", "paired-devices")->has_value());
    EXPECT_FALSE(identities.load("com.ornbeck.quillmere.mac.identity.t1")->has_value());
    EXPECT_TRUE(identities.load(IdentityStore::hostLabel(std::nullopt))->has_value());
}

} // namespace
} // namespace quillmere
