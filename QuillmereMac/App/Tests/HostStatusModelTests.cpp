#include "QuillmereMac/App/HostStatusModel.h"
#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Views/HostSettingsView.h"
#include "TestSupport/ChildProcess.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTabWidget>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace quillmere {
namespace {

using testing::ChildProcess;
using testing::LaunchedHost;
using testing::TemporaryFolder;
using testing::shown;

QStringList tabTitles(const QTabWidget& tabs) {
    QStringList titles;
    for (int i = 0; i < tabs.count(); ++i) titles << tabs.tabText(i);
    return titles;
}

std::string bytesOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Counts {
    int status = 0;
    int problem = 0;
    int revision = 0;
};

class HostStatusModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::qtApplication();
        QObject::connect(&model, &HostStatusModel::statusChanged, [this] { ++counts.status; });
        QObject::connect(&model, &HostStatusModel::loginItemProblemChanged, [this] { ++counts.problem; });
        QObject::connect(&model, &HostStatusModel::revisionChanged, [this] { ++counts.revision; });
    }

    std::string readEntry() {
        std::ifstream in(folder.path() / "autostart" / std::string(LoginItem::entryName));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TemporaryFolder folder;
    Defaults defaults{folder.path() / "defaults.ini"};
    std::shared_ptr<testing::PermissionsStub> permissions = std::make_shared<testing::PermissionsStub>();
    std::shared_ptr<HostEngine> engine = testing::memoryEngine(permissions);
    HostStatusModel model{engine, LoginItem::autostart(folder.path() / "autostart", "/opt/Quill mere/bin/host%1"),
                          defaults, MainQueue::shared()};
    Counts counts;
};

TEST(HostStatusModelHeadline, Table) {
    using Phase = HostStatus::Phase;
    struct Case {
        Phase phase;
        std::optional<std::string> session;
        PermissionState screen;
        std::string headline;
    };
    const Case cases[] = {
        {Phase::stopped, "Phone", PermissionState::granted, "Stopped"},
        {Phase::stopping, std::nullopt, PermissionState::granted, "Stopping\u2026"},
        {Phase::running, "Test \u201CPhone\u201D", PermissionState::notGranted, "Sharing with Test \u201CPhone\u201D"},
        {Phase::running, std::nullopt, PermissionState::notGranted, "Allow Screen Recording to start sharing"},
        {Phase::running, std::nullopt, PermissionState::granted, "Ready to share a window"},
    };
    for (const Case& c : cases) {
        HostStatus status;
        status.phase = c.phase;
        status.activeSession = c.session;
        status.permissions = {c.screen, PermissionState::granted};
        EXPECT_EQ(HostStatusModel::headline(status), c.headline);
    }
}

TEST_F(HostStatusModelTest, MirrorsTheEngineAndIsQuietAboutEqualStatus) {
    EXPECT_EQ(model.status(), engine->status());
    engine->publish(engine->status());
    EXPECT_EQ(counts.status, 0);
    HostStatus next = engine->status();
    next.lastError = "Transport: no port";
    engine->publish(next);
    EXPECT_EQ(counts.status, 1);
    EXPECT_EQ(model.status().lastError, "Transport: no port");

    permissions->screen = false;
    model.refreshPermissions();
    EXPECT_EQ(counts.status, 2);
    EXPECT_EQ(model.status().permissions.screenRecording, PermissionState::notGranted);
    model.refreshPermissions();
    EXPECT_EQ(counts.status, 2);
}

TEST_F(HostStatusModelTest, SettingsWritesAlwaysRaiseTheRevision) {
    model.setAutoApprove(true);
    model.setAutoApprove(true);
    model.setTestPatternEnabled(true);
    ASSERT_TRUE(testing::pumpUntil([&] { return model.revision() == 3; }));
    EXPECT_EQ(counts.revision, 3);
    EXPECT_TRUE(defaults.boolForKey(HostStatusModel::autoApproveKey));
    EXPECT_TRUE(defaults.boolForKey(HostStatusModel::testPatternKey));
    model.setAutoApprove(false);
    EXPECT_EQ(model.savingValue(HostStatusModel::autoApproveKey), false);
    ASSERT_TRUE(testing::pumpUntil([&] { return model.revision() == 4; }));
    EXPECT_EQ(model.savingValue(HostStatusModel::autoApproveKey), std::nullopt);
    EXPECT_FALSE(defaults.boolForKey(HostStatusModel::autoApproveKey));
}

TEST_F(HostStatusModelTest, OpenAtLoginWritesAndRemovesTheAutostartEntry) {
    EXPECT_FALSE(model.loginItem().enabled());
    model.setOpenAtLogin(true);
    EXPECT_TRUE(model.loginItem().enabled());
    EXPECT_EQ(model.loginItemProblem(), std::nullopt);
    const std::string entry = readEntry();
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << entry;
    // Quoted for the space, the percent doubled for the launcher.
    EXPECT_NE(entry.find("\nExec=\"/opt/Quill mere/bin/host%%1\"\n"), std::string::npos) << entry;
    // Written whole: no temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path() / "autostart"),
                            std::filesystem::directory_iterator()),
              1);

    model.setOpenAtLogin(false);
    EXPECT_FALSE(model.loginItem().enabled());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "autostart" / std::string(LoginItem::entryName)));
    EXPECT_EQ(model.revision(), 2);
    EXPECT_EQ(counts.problem, 0);
}

TEST_F(HostStatusModelTest, AFailedChangeIsReportedUntilOneSucceeds) {
    // The autostart folder is a file: nothing can be written under it.
    std::ofstream(folder.path() / "autostart") << "in the way";
    model.setOpenAtLogin(true);
    model.setOpenAtLogin(true);
    ASSERT_TRUE(model.loginItemProblem());
    EXPECT_EQ(model.loginItemProblem()->rfind("Couldn't change Open at login: ", 0), 0u) << *model.loginItemProblem();
    EXPECT_GT(model.loginItemProblem()->size(), std::string("Couldn't change Open at login: ").size());
    EXPECT_EQ(model.revision(), 2);
    EXPECT_EQ(counts.problem, 1);
    EXPECT_FALSE(model.loginItem().enabled());

    std::filesystem::remove(folder.path() / "autostart");
    model.setOpenAtLogin(true);
    EXPECT_EQ(model.loginItemProblem(), std::nullopt);
    EXPECT_EQ(counts.problem, 2);
    EXPECT_TRUE(model.loginItem().enabled());
}

// Every switch of the settings window, saved while a file stands where the
// settings folder belongs, a folder where the file belongs (root writes
// anywhere else) or another program holds the settings lock, then once more
// after. A switch shows the user's choice while its save is on its way; the
// click returns at once and the window answers throughout. Quitting waits
// for a save on its way.
TEST(SettingsSaving, ASwitchNotSavedSaysWhyAndShowsWhatIsInEffectUntilASaveWorks) {
    using View = HostSettingsView;
    using Clock = std::chrono::steady_clock;
    LaunchedHost host;
    Defaults& defaults = host.defaults;
    const std::filesystem::path file = defaults.file(), folder = file.parent_path(), aside = host.folder.path() / "aside";
    const std::string lock = file.string() + ".lock";
    for (const char* key : {View::autoApproveKey, View::testPatternKey, View::wifiPriorityKey, View::normalRateControlKey})
        ASSERT_TRUE(defaults.setValue(key, true));
    host.launch();
    host.controller().showSettings();
    QWidget& window = *host.controller().settingsWindow();
    // The longest the main thread takes to answer until the condition holds.
    const auto slowestAnswer = [](const std::function<bool()>& condition) {
        Clock::duration slowest{};
        auto last = Clock::now();
        const bool held = testing::pumpUntil([&] {
            slowest = std::max(slowest, Clock::now() - last);
            last = Clock::now();
            return condition();
        });
        return held ? slowest : Clock::duration::max();
    };
    enum Blocked { fileBlocked, folderBlocked, lockHeld };
    const std::tuple<const char*, const char*, const char*, Blocked> cases[] = {
        {nullptr, "Developer tab", View::developerUnlockedKey, fileBlocked}, // the seventh tap on the version
        {"autoApprove", "Allow automatic connections", View::autoApproveKey, folderBlocked},
        {"testPattern", "Offer test pattern", View::testPatternKey, lockHeld},
        {"wifiPriority", "Wi-Fi priority (next connection)", View::wifiPriorityKey, fileBlocked},
        {"normalRateControl", "Normal encoder rate control", View::normalRateControlKey, folderBlocked},
    };
    const HostStatusModel& model = *host.root().model;
    const testing::LogCapture log;
    for (const auto& [toggle, title, key, how] : cases) {
        const std::filesystem::path blocked = how == fileBlocked ? file : folder;
        auto* box = toggle != nullptr ? window.findChild<QCheckBox*>(toggle) : nullptr;
        const auto change = [&](int flips) {
            const auto asked = Clock::now();
            for (int tap = 0; box == nullptr && tap < View::tapsToUnlock; ++tap)
                window.findChild<QPushButton*>("versionButton")->click();
            for (int flip = 0; box != nullptr && flip < flips; ++flip) box->click();
            return Clock::now() - asked;
        };
        const auto inEffect = [&] {
            return box ? box->isChecked() : tabTitles(*window.findChild<QTabWidget*>("tabs")).contains("Developer");
        };
        const auto saved = [&, key] { return !model.savingValue(key).has_value(); };
        const bool before = inEffect();
        std::optional<ChildProcess> holder;
        if (how == lockHeld) holder = ChildProcess::holdingLock(lock);
        else std::filesystem::rename(blocked, aside);
        if (how == fileBlocked) std::filesystem::create_directory(file);
        if (how == folderBlocked) std::ofstream(folder) << "in the way";
        EXPECT_LT(change(1), std::chrono::milliseconds(100)) << key;
        EXPECT_EQ(inEffect(), !before) << key;
        EXPECT_LT(slowestAnswer(saved), std::chrono::milliseconds(100)) << key;
        const QLabel* line = shown<QLabel>(window, "settingsProblem");
        ASSERT_NE(line, nullptr) << key;
        const std::string why = how == fileBlocked     ? "is a directory"
                                : how == folderBlocked ? folder.string() + " is not a folder"
                                                       : "another program holds " + lock + " and does not let it go";
        EXPECT_EQ(line->text().toStdString(), fmt::format("Couldn't save \u201C{}\u201D: {}: {}.", title, file.string(), why));
        // Said in the log too, which a save ending as the host quits has alone.
        const auto logged = log.lines("settings");
        EXPECT_EQ(logged.empty() ? "" : logged.back(),
                  fmt::format("\u201C{}\u201D was not saved: {}: {}", title, file.string(), why));
        EXPECT_EQ(inEffect(), before) << key;
        const std::filesystem::path kept = how == fileBlocked ? aside : how == folderBlocked ? aside / file.filename() : file;
        EXPECT_EQ(defaults.boolForKey(key), Defaults(kept).boolForKey(key));
        EXPECT_EQ(host.root().consent->autoApproveSessions(), defaults.boolForKey(View::autoApproveKey)) << "runs";

        // Mended, or the lock let go while three flips wait for it: the last lands last.
        if (how != lockHeld) std::filesystem::remove(blocked), std::filesystem::rename(aside, blocked);
        EXPECT_LT(change(how == lockHeld ? 3 : 1), std::chrono::milliseconds(100)) << key;
        holder.reset();
        EXPECT_LT(slowestAnswer(saved), std::chrono::milliseconds(100)) << key;
        EXPECT_EQ(shown<QLabel>(window, "settingsProblem"), nullptr) << key;
        EXPECT_EQ(inEffect(), !before) << key;
        EXPECT_EQ(Defaults(file).boolForKey(key), !before) << key;
    }

    auto holder = ChildProcess::holdingLock(lock);
    auto* box = window.findChild<QCheckBox*>("autoApprove");
    box->click();
    const bool wanted = box->isChecked();
    host.delegate->requestQuit();
    ASSERT_TRUE(testing::pumpUntil([&] { return host.controller().settingsWindow() == nullptr; }));
    EXPECT_EQ(host.exits, std::vector<int>{}) << "before the save";
    holder.stop();
    ASSERT_TRUE(testing::pumpUntil([&] { return !host.exits.empty(); }));
    EXPECT_EQ(Defaults(file).boolForKey(View::autoApproveKey), wanted);
}

// Told once and first, before anything reads a setting; kept; never used
// when another account could have written it.
TEST(SettingsSaving, ASettingsFileNotReadIsToldOnceAndKept) {
    std::string noise(2048, ' ');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 % 251 + 2);
    const std::string settings = "[General]\nQuillmereMacAutoApprovePairedSessions=false\n";
    struct Case {
        std::string bytes;
        mode_t mode;
        uid_t owner; // 0: this account
        std::string reason;
    };
    const Case cases[] = {
        {noise, 0600, 0, "holds bytes that are not text"},
        {std::string(64, '\0'), 0600, 0, "holds NUL bytes, not settings"},
        // Latin-1, which QSettings reads without a word.
        {settings + "Name=caf\xe9\n", 0600, 0, "holds bytes that are not text"},
        {settings, 0646, 0, "can be changed by other accounts (mode 0646)"},
        {settings, 0600, 65534, "belongs to another account (uid 65534)"},
    };
    for (const Case& c : cases) {
        if (c.owner != 0 && ::geteuid() != 0) continue; // only root gives a file away
        TemporaryFolder config;
        const std::filesystem::path file = config.write("quillmere/quillmere.ini", c.bytes);
        ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
        ASSERT_TRUE(c.owner == 0 || ::chown(file.c_str(), c.owner, c.owner) == 0);
        Defaults defaults(file);
        LaunchedHost host;
        host.options.platform.defaults = &defaults;
        ::testing::internal::CaptureStderr();
        host.launch();
        const std::string told = ::testing::internal::GetCapturedStderr();
        const bool refused = c.mode != 0600 || c.owner != 0;
        const std::string text =
            refused ? "quillmere-host: Quillmere could not start: the settings file " + file.string() + " " + c.reason +
                          "; settings that another account could change are never used."
                    : "quillmere-host: Settings not read: " + file.string() + " " + c.reason +
                          ". Quillmere uses its default settings; the file is kept, and moved to " + file.string() +
                          ".damaged when a setting is next saved.";
        EXPECT_EQ(told.substr(0, told.find('\n')), text);
        EXPECT_EQ(told.find(file.string(), text.size()), std::string::npos) << told;
        EXPECT_EQ(host.exits, refused ? std::vector<int>{1} : std::vector<int>{});
        if (refused) {
            EXPECT_FALSE(defaults.setValue(HostStatusModel::autoApproveKey, true));
            EXPECT_EQ(bytesOf(file), c.bytes);
            continue;
        }
        const QLabel* line = shown<QLabel>(*host.controller().window(), "settingsFileText");
        ASSERT_NE(line, nullptr);
        // Long words may break anywhere on screen.
        EXPECT_EQ("quillmere-host: " + line->text().remove(QChar(0x200B)).toStdString(), text);
        EXPECT_TRUE(host.root().consent->autoApproveSessions()) << "as registered";
        host.root().model->setAutoApprove(false);
        ASSERT_TRUE(testing::pumpUntil([&] { return !host.root().model->savingValue(HostStatusModel::autoApproveKey); }));
        EXPECT_EQ(bytesOf(file.string() + ".damaged"), c.bytes);
        EXPECT_FALSE(Defaults(file).boolForKey(HostStatusModel::autoApproveKey));
        // The banner no longer promises the move it made.
        line = shown<QLabel>(*host.controller().window(), "settingsFileText");
        ASSERT_NE(line, nullptr);
        const std::string moved = line->text().remove(QChar(0x200B)).toStdString();
        EXPECT_TRUE(moved.ends_with("; the file was moved to " + file.string() + ".damaged, and settings are now saved afresh."))
            << moved;
    }
}

} // namespace
} // namespace quillmere
