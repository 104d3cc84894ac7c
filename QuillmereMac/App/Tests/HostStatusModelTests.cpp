#include "QuillmereMac/App/HostStatusModel.h"
#include "QuillmereMac/App/Tests/AppShellFixture.h"

#include <fstream>
#include <sstream>

namespace quillmere {
namespace {

using testing::TemporaryFolder;

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
                          defaults};
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
    EXPECT_EQ(model.revision(), 3);
    EXPECT_EQ(counts.revision, 3);
    EXPECT_TRUE(defaults.boolForKey(HostStatusModel::autoApproveKey));
    EXPECT_TRUE(defaults.boolForKey(HostStatusModel::testPatternKey));
    model.setAutoApprove(false);
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

} // namespace
} // namespace quillmere
