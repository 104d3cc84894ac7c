// The windows drawn by a real X server: a child copy of this test runs them
// on a private Xvfb, checks that no text is cut off with the server's fonts
// and that no widget lies outside its window or over its sibling, and keeps
// a picture of every tab and state in the build folder; this side checks the
// pictures.

// Our logger before Qt: Qt's emit keyword would rename Logger::emit.

#include "Platform/Dispatch/MainQueue.h"
#include "QuillmereMac/App/StatusView.h"
#include "QuillmereMac/App/Tests/AppShellFixture.h"
#include "QuillmereMac/Diagnostics/DisplayRecords.h"
#include "QuillmereMac/Views/HostSettingsView.h"
#include "QuillmereMac/Views/PairingView.h"
#include "QuillmereMac/Views/Tests/PanelTestHost.h"
#include "QuillmereTransport/Identity/SystemPairingCrypto.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Host/PairingClient.h"
#include "TestSupport/QRCodeReader.h"
#include "TestSupport/XvfbServer.h"
#include "TestSupport/Host/X11Desktop.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <fstream>
#include <future>
#include <set>
#include <utility>

namespace quillmere::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* shotsVariable = "QUILLMERE_PANEL_SHOTS";
const char* const settingsTabs[] = {"generalTab", "iphonesTab", "developerTab", "aboutTab"};
const char* const pairingStates[] = {"idle", "code", "approval", "finished"};

void shoot(QWidget& window, const fs::path& file) {
    window.repaint();
    QCoreApplication::processEvents();
    const QPixmap picture = window.screen()->grabWindow(window.winId());
    EXPECT_TRUE(picture.save(QString::fromStdString(file.string()), "PNG")) << file;
    EXPECT_EQ(clippedTexts(window), std::vector<std::string>{}) << file;
    EXPECT_EQ(layoutFaults(window), std::vector<std::string>{}) << file;
}

void drawSettings(PanelTestHost& host, const fs::path& shots) {
    host.pair("Anna's iPhone", 1);
    host.pair("Ben's iPad mini with a long name", 2);
    Defaults& defaults = host.defaults.defaults();
    defaults.registerDefaults({{HostSettingsView::autoApproveKey, true}});
    defaults.setValue(HostSettingsView::developerUnlockedKey, true);
    HostSettingsView::Model model;
    model.engine = host.engine;
    model.loginItemEnabled = [] { return false; };
    model.loginItemProblem = [] { return std::optional<std::string>("Couldn't change Open at login: Permission denied"); };
    HostSettingsView view(model, defaults, {}, {}, BundleInfo{"2.3", "41"});
    view.setWindowTitle("Quillmere Settings");
    view.resize(view.sizeHint());
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.findChildren<QAbstractButton*>("identityDisclosure").at(0)->click();
    for (const char* tab : settingsTabs) {
        view.findChild<QTabWidget*>("tabs")->setCurrentWidget(view.findChild<QWidget*>(tab));
        shoot(view, shots / (std::string("settings-") + tab + ".png"));
    }
}

void drawPairing(PanelTestHost& host, const fs::path& shots) {
    const LocalIdentity identity = host.keys.make("host");
    auto service = EnrollmentService::make(
        MainQueue::shared(),
        HostEnrollment(std::make_shared<SystemPairingCrypto>(), identity.fingerprint,
                       EnrollmentService::approvalTimeoutSeconds),
        identity, "Test Mac", "127.0.0.1", EnrollmentService::addingTo(host.engine), EnrollmentService::wallClockSeconds);
    PairingView view(service, EnrollmentService::wallClockSeconds);
    view.setWindowTitle("Pair iPhone");
    view.resize(view.sizeHint());
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    shoot(view, shots / "pairing-idle.png");

    service->start(PairingView::lifetimeSeconds);
    ASSERT_TRUE(pumpUntil([&] { return std::holds_alternative<EnrollmentState::Showing>(service->state()); }));
    const std::string invitation = std::get<EnrollmentState::Showing>(service->state()).text;
    std::ofstream(shots / "invitation.txt") << invitation;
    shoot(view, shots / "pairing-code.png");
    // The window grew to show the whole code and its buttons.
    const QScrollArea* scroll = view.findChild<QScrollArea*>();
    EXPECT_EQ(scroll->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0);

    auto asking = std::async(std::launch::async, [&] {
        auto phone = std::make_unique<PairingClient>(host.keys, host.defaults.defaults(), "phone", invitation);
        return phone->ready() && phone->hello() && phone->request() ? std::move(phone) : nullptr;
    });
    pumpUntil([&] { return asking.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    const auto phone = asking.get();
    ASSERT_TRUE(phone);
    ASSERT_TRUE(pumpUntil([&] { return std::holds_alternative<EnrollmentState::AwaitingApproval>(service->state()); }));
    shoot(view, shots / "pairing-approval.png");

    service->decide(std::get<EnrollmentState::AwaitingApproval>(service->state()).token, true);
    ASSERT_TRUE(pumpUntil([&] { return std::holds_alternative<EnrollmentState::Finished>(service->state()); }));
    shoot(view, shots / "pairing-finished.png");
    service->cancel();
}

// Every window of the shell as a user first meets it: the controller's own
// windows over a launched host, each state photographed and its widget tree
// checked.
struct FirstMeeting {
    const fs::path& shots;
    std::vector<std::string> faults;

    void check(QWidget* window, const std::string& name) {
        ASSERT_NE(window, nullptr) << name;
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window)) << name;
        // Framed by the window manager, then kept inside the screen by us
        // (Qt may learn of the frame late: the window is checked without it then).
        pumpUntil([&] { return window->frameGeometry() != window->geometry(); }, std::chrono::seconds(2));
        // Work queued by the framing (re-placing, refitting) done, then drawn.
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
        window->repaint();
        const QPixmap picture = window->screen()->grabWindow(window->winId());
        EXPECT_TRUE(picture.save(QString::fromStdString((shots / (name + ".png")).string()), "PNG")) << name;
        for (const auto& fault : layoutFaults(*window)) faults.push_back(name + ": " + fault);
        for (const auto& text : clippedTexts(*window)) faults.push_back(name + ": cut off: " + text);
    }

    void settingsTabs(HostAppController& controller, const std::string& state) {
        controller.showSettings();
        auto* tabs = controller.settingsWindow()->findChild<QTabWidget*>("tabs");
        ASSERT_NE(tabs, nullptr);
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            check(controller.settingsWindow(), "settings-" + state + "-" + tabs->widget(i)->objectName().toStdString());
        }
        tabs->setCurrentIndex(0);
    }
};

void meetEachWindow(const fs::path& shots) {
    LaunchedHost host;
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    host.launch();
    HostAppController& controller = host.controller();
    FirstMeeting meeting{shots, {}};

    // Nothing paired, developer mode locked.
    meeting.check(controller.window(), "status-unpaired");
    // At every depth: a group box's faint frame and fill, a symbol's smooth edges.
    QWidget& status = *controller.window();
    const QImage picture = status.screen()->grabWindow(status.winId()).toImage();
    const auto* box = status.findChild<QGroupBox*>("iPhone");
    const QPoint edge = box->mapTo(&status, QPoint(box->width() / 2, box->height() - 1));
    EXPECT_NE(picture.pixel(edge), picture.pixel(edge + QPoint(0, 4))) << "frame line";
    EXPECT_NE(picture.pixel(edge - QPoint(0, 3)), picture.pixel(edge + QPoint(0, 4))) << "frame fill";
    const QWidget* refresh = status.findChild<QToolBar*>()->widgetForAction(status.findChild<QAction*>("refresh"));
    std::set<QRgb> colours;
    for (int y = 0; y < refresh->height(); ++y)
        for (int x = 0; x < refresh->height(); ++x)
            colours.insert(picture.pixel(refresh->mapTo(&status, QPoint(x, y))));
    EXPECT_GT(colours.size(), 32u) << "refresh symbol";
    // At its smallest, scrolled to the end: the page's last line is in view.
    status.resize(status.minimumSize());
    EXPECT_TRUE(pumpUntil([&] { return status.size() == status.minimumSize(); }));
    auto* page = status.findChild<StatusView*>();
    page->verticalScrollBar()->setValue(page->verticalScrollBar()->maximum());
    meeting.check(&status, "status-smallest");
    const QWidget* footnote = page->widget()->findChild<QLabel*>("footnote");
    EXPECT_TRUE(status.rect().contains(QRect(footnote->mapTo(&status, QPoint()), footnote->size())));
    status.resize(560, 620);
    meeting.settingsTabs(controller, "unpaired");
    EXPECT_EQ(controller.settingsWindow()->findChild<QWidget*>("developerTab"), nullptr);
    controller.showPairing();
    EnrollmentService& pairing = *host.root().pairing;
    ASSERT_TRUE(pumpUntil([&] { return std::holds_alternative<EnrollmentState::Showing>(pairing.state()); }));
    meeting.check(controller.pairingWindow(), "pairing-code");
    std::ofstream(shots / "invitation.txt") << std::get<EnrollmentState::Showing>(pairing.state()).text;
    std::ofstream(shots / "scale.txt") << controller.pairingWindow()->findChild<PairingView*>()->shownQRScale();
    // Everything shown at once: nothing left to scroll to.
    EXPECT_EQ(controller.pairingWindow()->findChild<QScrollArea*>()->verticalScrollBar()->maximum(), 0);
    controller.pairingWindow()->close();
    controller.showAbout();
    meeting.check(controller.aboutBox(), "about");
    controller.aboutBox()->close();

    // One device paired.
    Bytes bytes(32, 7);
    ASSERT_TRUE(addAndWait(*host.root().engine, TrustedPeer(*WireID::fromBytes(ByteView(bytes).first(16)),
                                                            *Digest32::fromBytes(bytes), "Anna's iPhone",
                                                            PeerRole::client, 1)));
    QCoreApplication::processEvents();
    meeting.check(controller.window(), "status-paired");
    meeting.settingsTabs(controller, "paired");
    controller.settingsWindow()->close();

    // A pending request; Return in its window answers nothing.
    bool answered = false;
    host.root().consent->enqueue("Anna's iPhone", std::string("Terminal \u2014 a window with a long title"),
                                 [&](bool) { answered = true; });
    controller.showWindow();
    meeting.check(controller.window(), "status-request");
    QTest::keyClick(controller.window(), Qt::Key_Return);
    QTest::keyClick(controller.window(), Qt::Key_Enter);
    QCoreApplication::processEvents();
    EXPECT_FALSE(answered);
    EXPECT_EQ(host.root().consent->pending().size(), 1u);

    // A setting not saved: a file stands where the settings folder belongs.
    const fs::path settingsFolder = host.defaults.file().parent_path();
    fs::remove_all(settingsFolder);
    fs::create_directories(settingsFolder.parent_path());
    std::ofstream(settingsFolder) << "in the way";
    controller.showSettings();
    controller.settingsWindow()->findChild<QAbstractButton*>("autoApprove")->click();
    EXPECT_TRUE(pumpUntil([&] { return shown<QLabel>(*controller.settingsWindow(), "settingsProblem") != nullptr; }));
    meeting.check(controller.settingsWindow(), "settings-unsaved");

    EXPECT_EQ(meeting.faults, std::vector<std::string>{});
}

// A settings file that is not settings: the status window says so.
void meetUnreadSettings(const fs::path& shots) {
    TemporaryFolder config;
    Defaults defaults(config.write("quillmere/quillmere.ini", std::string(64, '\0')));
    LaunchedHost host;
    host.options.platform.defaults = &defaults;
    host.launch();
    FirstMeeting meeting{shots, {}};
    EXPECT_NE(shown<QLabel>(*host.controller().window(), "settingsFileText"), nullptr);
    meeting.check(host.controller().window(), "status-settings-unread");
    EXPECT_EQ(meeting.faults, std::vector<std::string>{});
}

void drawEachWindow(const fs::path& shots) {
    PanelTestHost host;
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    nlohmann::json displays = nlohmann::json::array();
    for (const auto& screen : x11Desktop({})->screens()()) displays.push_back(DisplayRecords::record(screen));
    std::ofstream(shots / "displays.json") << displays.dump();
    drawSettings(host, shots);
    drawPairing(host, shots);
}

// This test again, in a process of its own on the given display.
int runChild(const std::string& display, const fs::path& shots) {
    const auto* test = ::testing::UnitTest::GetInstance();
    const std::string filter = "--gtest_filter=" + std::string(test->current_test_suite()->name()) + "." +
                               test->current_test_info()->name();
    testing::ChildProcess child(
        {"/proc/self/exe", filter},
        {.environment = testing::environmentWith(
             {{"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}, {shotsVariable, shots.string()}}),
         .output = shots / "child.log"});
    return child.wait();
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(PanelWindows, LookRightOnARealXServer) {
    if (const char* shots = std::getenv(shotsVariable)) {
        drawEachWindow(shots);
        return;
    }
    XvfbServer x(XvfbServer::Options{{{1280, 1024}}, false});
    ASSERT_TRUE(x.ready()) << x.failure();
    // A folder of its own: the other window tests keep pictures beside it.
    const fs::path shots = fs::path(QUILLMERE_SCREENSHOTS) / "panels";
    fs::remove_all(shots);
    fs::create_directories(shots);
    ASSERT_EQ(runChild(x.displayName(), shots), 0) << readAll(shots / "child.log");

    for (const char* tab : settingsTabs) {
        const QImage picture(QString::fromStdString((shots / (std::string("settings-") + tab + ".png")).string()));
        EXPECT_GE(picture.width(), HostSettingsView::width) << tab;
        EXPECT_GE(picture.height(), HostSettingsView::height) << tab;
    }
    for (const char* state : pairingStates) {
        const QImage picture(QString::fromStdString((shots / (std::string("pairing-") + state + ".png")).string()));
        EXPECT_GE(picture.width(), 480) << state;
    }
    EXPECT_EQ(readQRCode(shots / "pairing-code.png"), readAll(shots / "invitation.txt"));

    const auto displays = nlohmann::json::parse(readAll(shots / "displays.json"));
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0]["main"], true);
    EXPECT_EQ(displays[0]["builtIn"], false);
    EXPECT_EQ(displays[0]["pixels"], "1280x1024");
    EXPECT_TRUE(displays[0]["refreshHz"].is_number());
}

// The screens of small laptops and of the private desktop scripts/run starts.
TEST(PanelWindows, FitTheScreensUsersFirstMeetThemOn) {
    if (const char* shots = std::getenv(shotsVariable)) {
        meetEachWindow(shots);
        meetUnreadSettings(shots);
        return;
    }
    const XvfbServer::Screen screens[] = {{1280, 800}, {1366, 768}, {1024, 768}, {1280, 800, 30}};
    for (const auto& [width, height, depth] : screens) {
        XvfbServer x(XvfbServer::Options{{{width, height, depth}}, true});
        ASSERT_TRUE(x.ready()) << x.failure();
        const fs::path shots = fs::path(QUILLMERE_SCREENSHOTS) / fmt::format("first-{}x{}x{}", width, height, depth);
        fs::remove_all(shots);
        fs::create_directories(shots);
        ASSERT_EQ(runChild(x.displayName(), shots), 0) << readAll(shots / "child.log");
        // The code as a phone's camera would read it off the window.
        EXPECT_EQ(readQRCode(shots / "pairing-code.png"), readAll(shots / "invitation.txt")) << shots;
        // Whole pixels per module, smaller only as far as the screen needs
        // (the page's height is estimated on the safe side).
        EXPECT_GE(std::stoi(readAll(shots / "scale.txt")), 6) << shots;
    }
}

} // namespace
} // namespace quillmere::testing
