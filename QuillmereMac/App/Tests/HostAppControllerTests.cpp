#include "QuillmereMac/App/StatusView.h"
#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Host/PairingClient.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTest>

#include <fstream>
#include <optional>

namespace quillmere {
namespace {

using testing::LaunchedHost;
using testing::TemporaryFolder;
using testing::pumpUntil;

std::vector<std::string> titles(const QMenu& menu) {
    std::vector<std::string> out;
    for (const QAction* action : menu.actions())
        out.push_back(action->isSeparator() ? "---" : action->text().toStdString());
    return out;
}

const std::vector<std::string> fixedItems{"Show Quillmere", "Pair iPhone\u2026", "Settings\u2026",
                                          "Refresh Permissions", "---", "Quit Quillmere"};

HostStatus running(int sessions, std::optional<std::string> name = std::nullopt) {
    HostStatus status;
    status.phase = HostStatus::Phase::running;
    status.activeSessionCount = sessions;
    status.activeSession = std::move(name);
    return status;
}

TEST(HostAppController, MenusWithAndWithoutAnUpdater) {
    LaunchedHost plain;
    plain.launch();
    EXPECT_EQ(titles(*plain.controller().statusMenu()), fixedItems);
    EXPECT_EQ(plain.controller().statusMenu()->actions()[2]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(plain.controller().statusMenu()->actions()[5]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    std::vector<std::string> menuTitles;
    for (const QMenu* menu : plain.controller().mainMenus()) {
        menuTitles.push_back(menu->title().toStdString());
        for (const auto& title : titles(*menu)) EXPECT_EQ(title.find("Check for Updates"), std::string::npos);
    }
    EXPECT_EQ(menuTitles, (std::vector<std::string>{"Quillmere", "File", "Sharing", "Window"}));
    EXPECT_EQ(titles(*plain.controller().mainMenus()[2]),
              (std::vector<std::string>{"Refresh Permissions", "Allow Screen Recording\u2026", "Allow Accessibility\u2026"}));

    LaunchedHost updating;
    updating.defaults.setValue(AppUpdater::feedKey, QStringLiteral("file:///nonexistent/feed.json"));
    updating.launch();
    ASSERT_NE(updating.delegate->updater(), nullptr);
    EXPECT_TRUE(updating.delegate->updater()->started());
    std::vector<std::string> expected = fixedItems;
    expected.insert(expected.begin() + 4, "Check for Updates\u2026");
    EXPECT_EQ(titles(*updating.controller().statusMenu()), expected);
    EXPECT_EQ(titles(*updating.controller().mainMenus()[0])[1], "Check for Updates\u2026");
}

TEST(HostAppController, TheSharingGroupComesAndGoesWithSessions) {
    LaunchedHost host;
    host.launch();
    HostAppController& controller = host.controller();
    HostEngine& engine = *host.root().engine;
    EXPECT_FALSE(controller.indicator().isLive());

    engine.publish(running(1, "Phone"));
    EXPECT_TRUE(controller.indicator().isLive());
    std::vector<std::string> sharing{"Sharing now with 1 iPhone", "Stop Sharing", "---"};
    sharing.insert(sharing.end(), fixedItems.begin(), fixedItems.end());
    EXPECT_EQ(titles(*controller.statusMenu()), sharing);
    EXPECT_FALSE(controller.statusMenu()->actions()[0]->isEnabled());
    EXPECT_EQ(controller.statusItem()->toolTip().toStdString(), "Quillmere \u2014 Sharing with 1 iPhone");

    engine.publish(running(2, "Phone"));
    sharing[0] = "Sharing now with 2 iPhones";
    EXPECT_EQ(titles(*controller.statusMenu()), sharing);

    HostStatus stopping = running(3, "Phone");
    stopping.phase = HostStatus::Phase::stopping;
    engine.publish(stopping);
    EXPECT_FALSE(controller.indicator().isLive());
    EXPECT_EQ(titles(*controller.statusMenu()), fixedItems);
    EXPECT_EQ(controller.statusItem()->toolTip().toStdString(), "Quillmere \u2014 Share this computer\u2019s windows with your iPhone");
}

TEST(HostAppController, ThePairingWindowStartsOnePairingAndClosingCancelsIt) {
    LaunchedHost host;
    host.launch();
    HostAppController& controller = host.controller();
    EnrollmentService& pairing = *host.root().pairing;
    auto showing = [&] { return std::get_if<EnrollmentState::Showing>(&pairing.state()); };

    controller.showPairing();
    ASSERT_TRUE(pumpUntil([&] { return showing() != nullptr; }));
    const EnrollmentState::Showing first = *showing();
    EXPECT_NEAR(static_cast<double>(first.expiresAt), static_cast<double>(EnrollmentService::wallClockSeconds() + 300), 5);
    QWidget* window = controller.pairingWindow();
    EXPECT_EQ(window->windowTitle().toStdString(), "Pair iPhone");

    controller.showPairing();
    EXPECT_EQ(controller.pairingWindow(), window);
    ASSERT_NE(showing(), nullptr);
    EXPECT_EQ(showing()->text, first.text);

    window->close();
    EXPECT_TRUE(std::holds_alternative<EnrollmentState::Idle>(pairing.state()));
    controller.showPairing();
    ASSERT_TRUE(pumpUntil([&] { return showing() != nullptr; }));
    EXPECT_NE(showing()->text, first.text);
    EXPECT_EQ(controller.pairingWindow(), window);
}

// A phone approved while another program holds the paired devices is told
// how its save came out before the host quits.
TEST(HostAppController, QuittingWaitsForAPairingsSave) {
    LaunchedHost host;
    host.launch();
    EnrollmentService& pairing = *host.root().pairing;
    host.controller().showPairing();
    ASSERT_TRUE(pumpUntil([&] { return std::holds_alternative<EnrollmentState::Showing>(pairing.state()); }));
    testing::TestKeychain keys;
    testing::TestDefaults defaults;
    auto phone = testing::offMain([&, invitation = std::get<EnrollmentState::Showing>(pairing.state()).text] {
        auto client = std::make_unique<testing::PairingClient>(keys, defaults.defaults(), "phone", invitation);
        return client->ready() && client->hello() && client->request() ? std::move(client) : nullptr;
    });
    ASSERT_TRUE(phone);
    ASSERT_TRUE(pumpUntil([&] { return std::holds_alternative<EnrollmentState::AwaitingApproval>(pairing.state()); }));
    // Let go as the engine stops: then only the tear-down's wait keeps the host.
    auto holder = std::make_shared<std::optional<testing::ChildProcess>>(
        testing::ChildProcess::holdingLock(host.keychain().root() / ".lock"));
    host.root().engine->addObserver([holder](const HostStatus& status) {
        if (status.phase == HostStatus::Phase::stopped) holder->reset();
    });
    pairing.decide(std::get<EnrollmentState::AwaitingApproval>(pairing.state()).token, true);
    std::optional<bool> goneSaving;
    host.controller().tearDown([&] { goneSaving = std::holds_alternative<EnrollmentState::Saving>(pairing.state()); });
    const auto result = testing::offMain([&] { return phone->result(); });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->outcome, EnrollmentOutcome::approved);
    ASSERT_TRUE(pumpUntil([&] { return goneSaving.has_value(); }));
    EXPECT_FALSE(*goneSaving) << "the host went before the phone was told";
}

// Showing the host after hiding it brings back the windows it hid, not one
// closed before.
TEST(HostAppController, ShowingAfterHidingBringsBackWhatHidingHid) {
    LaunchedHost host;
    host.launch();
    HostAppController& controller = host.controller();
    for (const bool settingsOpen : {true, false}) {
        controller.showSettings();
        if (!settingsOpen) controller.settingsWindow()->close();
        controller.hideApplication();
        EXPECT_FALSE(controller.window()->isVisible() || controller.settingsWindow()->isVisible());
        controller.showWindow();
        EXPECT_TRUE(controller.window()->isVisible());
        EXPECT_EQ(controller.settingsWindow()->isVisible(), settingsOpen);
    }
}

TEST(HostAppController, TearDownDeniesRequestsBeforeTheEngineStopsThenClosesEverything) {
    std::optional<LaunchedHost> host(std::in_place);
    host->launch();
    HostAppController& controller = host->controller();
    CompositionRoot& root = host->root();
    controller.showSettings();
    const QPointer<QWidget> settings = controller.settingsWindow();
    // A new prompt brings the status window back.
    controller.window()->close();
    std::vector<std::pair<bool, HostStatus::Phase>> answers;
    for (const char* device : {"Phone A", "Phone B"}) {
        root.consent->enqueue(device, std::string("Terminal"), [&](bool approved) {
            answers.emplace_back(approved, root.engine->status().phase);
        });
    }
    ASSERT_TRUE(controller.window()->isVisible());

    bool done = false;
    controller.tearDown([&] { done = true; });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    EXPECT_EQ(answers, (std::vector<std::pair<bool, HostStatus::Phase>>{{false, HostStatus::Phase::running},
                                                                         {false, HostStatus::Phase::running}}));
    EXPECT_EQ(root.engine->status().phase, HostStatus::Phase::stopped);
    EXPECT_EQ(controller.window(), nullptr);
    EXPECT_EQ(controller.settingsWindow(), nullptr);
    EXPECT_FALSE(controller.statusItem()->isVisible());

    // Once only, and no longer following the engine.
    bool again = false;
    controller.tearDown([&] { again = true; });
    EXPECT_TRUE(again);
    root.engine->publish(running(1, "Phone"));
    EXPECT_FALSE(controller.indicator().isLive());

    // Closed windows go with the host, not in a later turn of the event
    // loop, when what their views observe is gone.
    host.reset();
    EXPECT_TRUE(settings.isNull());
}

TEST(HostAppController, ExportingDiagnosticsOpensTheFolderElseSaysWhereItIs) {
    LaunchedHost host;
    host.launch();
    HostAppController& controller = host.controller();
    const auto folder = *host.options.platform.diagnostics;
    for (const bool opens : {true, false, false}) {
        std::filesystem::remove_all(folder);
        std::vector<std::filesystem::path> opened;
        controller.openFolder = [&](const std::filesystem::path& shown) {
            opened.push_back(shown);
            return opens;
        };
        controller.exportDiagnostics();
        EXPECT_EQ(opened, std::vector<std::filesystem::path>{folder});
        EXPECT_TRUE(std::filesystem::is_directory(folder));
        QWidget* box = controller.diagnosticsBox();
        ASSERT_EQ(box != nullptr, !opens);
        if (opens) continue;
        // One box however often asked, with the path to copy.
        EXPECT_EQ(QApplication::topLevelWidgets().count(box), 1);
        EXPECT_TRUE(box->isVisible());
        const auto* text = box->findChild<QLabel*>("qt_msgbox_label");
        ASSERT_NE(text, nullptr);
        EXPECT_TRUE(text->text().contains(QString::fromStdString(folder.string())));
        EXPECT_TRUE(text->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    }
}

// The status view alone, over an engine whose trust store lives in memory.
class StatusViewTest : public ::testing::Test {
protected:
    StatusViewTest() {
        testing::qtApplication();
        model = std::make_unique<HostStatusModel>(engine, LoginItem{}, defaults, MainQueue::shared());
        consent = ConsentCenter::make(MainQueue::shared());
        view = std::make_unique<StatusView>(*model, consent, StatusView::Actions{{}, [this] { ++pairs; },
                                                                                 [this] { ++settings; }, {}, {}});
    }

    QString textOf(const char* name) const {
        const auto* label = view->widget()->findChild<QLabel*>(name);
        return label ? label->text() : QStringLiteral("<none>");
    }
    QList<QPushButton*> buttons(const char* name) const { return view->widget()->findChildren<QPushButton*>(name); }

    void pair(int count) {
        for (int i = 0; i < count; ++i) {
            Bytes bytes(32, static_cast<std::uint8_t>(engine->trustedPeers().size() + 1));
            const TrustedPeer peer(*WireID::fromBytes(ByteView(bytes).first(16)), *Digest32::fromBytes(bytes),
                                   "Phone", PeerRole::client, 1);
            ASSERT_TRUE(testing::addAndWait(*engine, peer));
        }
    }

    TemporaryFolder folder;
    Defaults defaults{folder.path() / "defaults.ini"};
    std::shared_ptr<testing::PermissionsStub> permissions = std::make_shared<testing::PermissionsStub>();
    std::shared_ptr<HostEngine> engine = testing::memoryEngine(permissions);
    std::unique_ptr<HostStatusModel> model;
    std::shared_ptr<ConsentCenter> consent;
    std::unique_ptr<StatusView> view;
    int pairs = 0;
    int settings = 0;
};

TEST_F(StatusViewTest, TheIPhoneBoxFollowsDevicesAndSessions) {
    EXPECT_EQ(textOf("iPhoneLabel"), "Connect your first iPhone");
    ASSERT_EQ(buttons("pairButton").size(), 1);
    buttons("pairButton")[0]->click();
    EXPECT_EQ(pairs, 1);

    pair(1);
    EXPECT_EQ(textOf("iPhoneLabel"), "Waiting for your iPhone");
    EXPECT_NE(view->widget()->findChild<QLabel*>("iphone.slash"), nullptr);
    EXPECT_EQ(textOf("iPhoneText"), "1 paired iPhone.");

    pair(2);
    engine->start();
    engine->sessionChanged("Test Phone", 1);
    EXPECT_EQ(textOf("iPhoneLabel"), "Connected: Test Phone");
    EXPECT_EQ(textOf("iPhoneText"), "3 paired iPhones.");
    EXPECT_EQ(view->widget()->findChild<QLabel*>("iphone.slash"), nullptr);
    EXPECT_EQ(textOf("headline"), "Sharing with Test Phone");
    // A second connection of the same phone shows nothing new: no rebuild.
    const QWidget* content = view->widget();
    engine->sessionChanged("Test Phone", 2);
    EXPECT_EQ(view->widget(), content);
    buttons("manageButton")[0]->click();
    EXPECT_EQ(settings, 1);
}

TEST_F(StatusViewTest, PermissionRowsAndTheErrorBanner) {
    auto states = [&] {
        std::vector<std::string> out;
        for (const QLabel* label : view->widget()->findChildren<QLabel*>("permissionState"))
            out.push_back(label->text().toStdString());
        return out;
    };
    EXPECT_EQ(states(), (std::vector<std::string>{"Allowed", "Allowed"}));
    EXPECT_TRUE(buttons("allowPermission").isEmpty());
    EXPECT_EQ(view->widget()->findChild<QWidget*>("errorBanner"), nullptr);

    permissions->screen = false;
    model->refreshPermissions();
    EXPECT_EQ(states(), (std::vector<std::string>{"Needed", "Allowed"}));
    ASSERT_EQ(buttons("allowPermission").size(), 1);
    EXPECT_EQ(buttons("allowPermission")[0]->text().toStdString(), "Allow Screen Recording\u2026");
    EXPECT_EQ(buttons("allowPermission")[0]->toolTip().toStdString(),
              "Open the system permission request for Screen Recording");

    HostStatus failed = engine->status();
    failed.lastError = "Transport: address in use";
    engine->publish(failed);
    const auto* banner = view->widget()->findChild<QWidget*>("errorBanner");
    ASSERT_NE(banner, nullptr);
    EXPECT_EQ(banner->accessibleName().toStdString(), "Host error: Transport: address in use");
    EXPECT_EQ(textOf("errorText"), "Transport: address in use");

    // Content that could not be shared, in its words, until a capture starts.
    const std::string problem = "This window's colours (24 bits) go through a colour map, which cannot be shared.";
    model->setCaptureProblem(problem);
    const auto* capture = view->widget()->findChild<QWidget*>("captureBanner");
    ASSERT_NE(capture, nullptr);
    EXPECT_EQ(capture->accessibleName().toStdString(), "Sharing problem: " + problem);
    EXPECT_EQ(textOf("captureText").toStdString(), problem);
    model->setCaptureProblem(std::nullopt);
    EXPECT_EQ(view->widget()->findChild<QWidget*>("captureBanner"), nullptr);
    EXPECT_NE(view->widget()->findChild<QWidget*>("errorBanner"), nullptr);
}

TEST_F(StatusViewTest, NoTextIsCutOffAtTheWindowsSizes) {
    pair(2);
    engine->start();
    engine->sessionChanged("A phone with a rather long name for a phone", 1);
    HostStatus failed = engine->status();
    // A file's path in a problem line is one long word.
    failed.lastError = "The removal could not be saved: /home/someone/.local/share/quillmere/keychain/password-"
                       "82679bdc659ad714e879fbb2b93e3cb92f725b80931ec920cc00fab1bb887ef8 can be changed by others.";
    engine->publish(failed);
    consent->enqueue("Phone A", std::string("Terminal \u2014 a window with a long title"), [](bool) {});
    for (const QSize size : {QSize(420, 460), QSize(560, 620)}) {
        view->resize(size);
        view->show();
        ASSERT_TRUE(testing::pumpUntil([&] { return view->widget()->isVisible(); }));
        QCoreApplication::processEvents();
        EXPECT_EQ(testing::clippedTexts(*view->widget()), std::vector<std::string>{}) << size.width();
        // Nor does any run off to the side.
        EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0) << size.width();
    }
}

TEST_F(StatusViewTest, ARebuildKeepsTheScrollPositionAndTheFocusedButton) {
    permissions->screen = false;
    permissions->accessibility = false;
    model->refreshPermissions();
    view->resize(420, 300);
    view->show();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    const auto allow = buttons("allowPermission");
    ASSERT_EQ(allow.size(), 2);
    allow[1]->setFocus();
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum() / 2);
    const int scrolled = view->verticalScrollBar()->value();
    ASSERT_GT(scrolled, 0);

    // A request arrives and a permission changes: the content is made anew.
    consent->enqueue("Phone A", std::string("Terminal"), [](bool) {});
    QCoreApplication::processEvents();
    ASSERT_NE(buttons("allowPermission")[1], allow[1]);
    EXPECT_EQ(view->verticalScrollBar()->value(), scrolled);
    EXPECT_EQ(QApplication::focusWidget(), buttons("allowPermission")[1]);

    // Return presses neither answer of the request.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(consent->pending().size(), 1u);
    EXPECT_FALSE(buttons("allow")[0]->isDefault());
}

TEST_F(StatusViewTest, EachRequestIsAnsweredOnItsOwn) {
    std::vector<std::pair<std::string, bool>> answers;
    consent->enqueue("Phone A", std::string("Terminal"), [&](bool approved) { answers.emplace_back("A", approved); });
    consent->enqueue("Phone B", std::nullopt, [&](bool approved) { answers.emplace_back("B", approved); });
    const auto texts = view->widget()->findChildren<QLabel*>("requestText");
    ASSERT_EQ(texts.size(), 2);
    EXPECT_EQ(texts[0]->text().toStdString(), "\u201CPhone A\u201D wants to view \u201CTerminal\u201D.");
    EXPECT_EQ(texts[1]->text().toStdString(), "\u201CPhone B\u201D wants to view \u201C\u201D.");
    EXPECT_EQ(buttons("deny")[0]->text().toStdString(), "Don\u2019t Allow");

    buttons("allow")[1]->click();
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"B", true}}));
    ASSERT_EQ(view->widget()->findChildren<QLabel*>("requestText").size(), 1);
    buttons("deny")[0]->click();
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"B", true}, {"A", false}}));
    EXPECT_EQ(view->widget()->findChild<QGroupBox*>("sharingRequests"), nullptr);
}

} // namespace
} // namespace quillmere
