// The real program on a private desktop: Xvfb with openbox and a tray host
// (trayer), quillmere-host started with a keychain scope over folders of the
// test's own, and quillmere-viewer as the phone.

#include "QuillmereMac/App/CompositionRoot.h"
#include "QuillmereMac/App/Tests/DesktopProbe.h"
#include "QuillmereMac/App/Tests/ThirdPartyLeaks.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereViewer/ViewerState.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/QRCodeReader.h"
#include "TestSupport/TemporaryFolder.h"
#include "TestSupport/XvfbServer.h"

#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <QColor>
#include <QImage>
#include <QRect>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::DesktopProbe;
using testing::eventually;
using testing::TemporaryFolder;
using testing::XvfbServer;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A program run with its output in a file, in this process's environment
// less the session bus and the Qt platform this process's window tests chose
// for themselves, with the given variables.
ChildProcess program(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                     const std::filesystem::path& output) {
    return ChildProcess(arguments, {.environment = testing::environmentWith(
                                        environment, {"DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"}),
                                    .output = output});
}

// Pixels of the sharing indicator's red.
int redPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor color = image.pixelColor(x, y);
            if (color.red() > 200 && color.green() < 110 && color.blue() < 110) ++count;
        }
    }
    return count;
}

// Pixels of the icon that stand out from the panel it sits on (its corner).
int contrastingPixels(const QImage& image) {
    if (image.isNull()) return 0;
    const float panel = image.pixelColor(0, 0).lightnessF();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (std::abs(image.pixelColor(x, y).lightnessF() - panel) > 0.5f) ++count;
    return count;
}

// Pixels of the accent a prominent button is filled with; the title symbol
// in that colour is far fewer.
int prominentPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor color = image.pixelColor(x, y);
            if (color.blue() > 170 && color.red() < 90 && color.green() > 110 && color.green() < 170) ++count;
        }
    }
    return count;
}

// Whether a page shows a scroll bar along its right or bottom edge (below
// the menu bar): anything there but the page's own background, which its
// left padding shows.
bool scrolls(const QImage& page) {
    constexpr int bar = 14;
    constexpr int menuBar = 40;
    if (page.width() <= 2 * bar || page.height() <= menuBar + 2 * bar) return false;
    const QColor background = page.pixelColor(4, page.height() / 2);
    int other = 0;
    for (int y = menuBar; y < page.height(); ++y)
        for (int x = 4; x < page.width(); ++x)
            if ((x >= page.width() - bar || y >= page.height() - bar) && page.pixelColor(x, y) != background) ++other;
    return other > 20;
}

TEST(HostProgramCommandLine, HelpUnknownOptionsAndAMissingDisplayNeedNoDisplay) {
    TemporaryFolder folder;
    ChildProcess help = program({QUILLMERE_HOST_PROGRAM, "--help"}, {{"DISPLAY", ":65000"}}, folder.path() / "help.txt");
    EXPECT_EQ(help.wait(10s), 0);
    EXPECT_NE(help.output().find("QUILLMERE_MAC_KEYCHAIN_SCOPE"), std::string::npos) << help.output();
    ChildProcess bogus = program({QUILLMERE_HOST_PROGRAM, "--bogus"}, {{"DISPLAY", ":65000"}}, folder.path() / "bogus.txt");
    EXPECT_EQ(bogus.wait(10s), 2);
    EXPECT_EQ(bogus.output().rfind("quillmere-host: unknown option --bogus\n\nUsage: quillmere-host", 0), 0u)
        << bogus.output();
    ChildProcess nowhere = program({QUILLMERE_HOST_PROGRAM}, {{"DISPLAY", ":65000"}}, folder.path() / "nowhere.txt");
    EXPECT_EQ(nowhere.wait(10s), 1);
    EXPECT_EQ(nowhere.output(), "quillmere-host: cannot open display :65000\n");
    ChildProcess unset = program({QUILLMERE_HOST_PROGRAM}, {{"DISPLAY", ""}}, folder.path() / "unset.txt");
    EXPECT_EQ(unset.wait(10s), 1);
    EXPECT_EQ(unset.output(),
              "quillmere-host: no X display to run on (set DISPLAY, or start a private one with scripts/run)\n");
    // An account the password database does not know, with HOME unset or
    // relative: nowhere private to keep its state, and no shared folder instead.
    if (!testing::OtherAccount::possible()) return;
    testing::OtherAccount stranger(54321);
    const auto host = stranger.runnable(QUILLMERE_HOST_PROGRAM);
    if (!host) GTEST_SKIP() << host.error();
    for (const char* home : {"", "relhome"}) {
        const std::string homeSetting = *home != '\0' ? std::string("HOME=") + home : std::string("-uHOME");
        ChildProcess homeless = program(stranger.command({"-u", "XDG_DATA_HOME", "-u", "XDG_CONFIG_HOME", homeSetting,
                                                          host->string()}),
                                        {{"DISPLAY", ":65000"}}, folder.path() / "homeless.txt");
        EXPECT_EQ(homeless.wait(10s), 1) << home;
        EXPECT_EQ(homeless.output(), "quillmere-host: Quillmere could not start: this account has no home folder: HOME "
                                     "is not an absolute path and the password database names none\n")
            << home;
    }
}

// Qt would abort (134) for want of a plugin, or run where there is nothing
// to share; the display is never reached.
TEST(HostProgramCommandLine, APlatformOtherThanX11EndsStartUpNamingIt) {
    TemporaryFolder folder;
    for (const std::string platform : {"wayland", "no-such-platform"}) {
        ChildProcess host = program({QUILLMERE_HOST_PROGRAM}, {{"DISPLAY", ":65000"}, {"QT_QPA_PLATFORM", platform}},
                                    folder.path() / (platform + ".txt"));
        EXPECT_EQ(host.wait(10s), 1) << host.output();
        EXPECT_EQ(host.output(), "quillmere-host: cannot run on the Qt platform \"" + platform +
                                     "\": it shares X11 displays; unset QT_QPA_PLATFORM or set it to xcb\n");
    }
}

// A host of its own folders on a display, its libraries' own leaks
// set aside under the leak checker.
std::map<std::string, std::string> hostEnvironmentIn(const std::filesystem::path& root, const std::string& display,
                                                     const std::string& scope) {
    const auto leaks = root / "leaks.supp";
    std::ofstream(leaks) << testing::thirdPartyLeaks;
    return {{"DISPLAY", display},
            {"LSAN_OPTIONS", "suppressions=" + leaks.string() + ":print_suppressions=0"},
            {"HOME", root.string()},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_CACHE_HOME", (root / "cache").string()},
            {"XDG_RUNTIME_DIR", root.string()},
            {"QUILLMERE_MAC_KEYCHAIN_SCOPE", scope}};
}

// Qt would crash drawing its first window on a palette: start-up ends
// before any window, naming the depth.
TEST(HostProgramCommandLine, AnEightBitDesktopEndsStartUpInWords) {
    TemporaryFolder folder;
    XvfbServer server({.screens = {{640, 480, 8}}});
    ASSERT_TRUE(server.ready()) << server.failure();
    const auto root = folder.path();
    ChildProcess host = program({QUILLMERE_HOST_PROGRAM}, hostEnvironmentIn(root, server.displayName(), "eight"),
                                root / "host.txt");
    EXPECT_EQ(host.wait(20s), 1) << host.output();
    EXPECT_EQ(host.output(), "quillmere-host: Quillmere could not start: this desktop's colour depth (8 bits, with a "
                             "palette) is too low for Quillmere to draw its windows or share the screen; start the "
                             "desktop at one of the depths that work: 15, 16, 24 and 30 bits.\n");
}

class HostProgram : public ::testing::Test {
protected:
    static constexpr const char* scope = "program";

    // The screen scripts/run gives its private desktop unless told.
    explicit HostProgram(XvfbServer::Screen screen = {1280, 800}) : server(XvfbServer::Options{{screen}, true}) {}

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        std::vector<std::string> tray{"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype",
                                      "request", "--height", "28", "--SetDockType", "true"};
        if (!panelTint.empty()) tray.insert(tray.end(), {"--transparent", "false", "--tint", panelTint});
        trayer.emplace(program(tray,
                       std::map<std::string, std::string>{{"DISPLAY", server.displayName()}}, home.path() / "trayer.log"));
        ASSERT_TRUE(eventually([&] { return probe.trayRunning(); }, 10s)) << trayer->output();

        // The host's scoped identity and trust store hold the viewer, and
        // the viewer's state holds the host, as a pairing would leave them.
        const Keychain keychain(home.path() / "data" / "quillmere" / "keychain");
        auto identity = IdentityStore(keychain).create(IdentityStore::hostLabel(scope), "QuillmereMac");
        ASSERT_TRUE(identity);
        hostFingerprint = identity->fingerprint;
        const ViewerState viewer(home.path() / "viewer");
        auto viewerIdentity = viewer.identity();
        auto viewerID = viewer.deviceID();
        auto viewerTrust = viewer.trustStore();
        ASSERT_TRUE(viewerIdentity && viewerID && viewerTrust);
        ASSERT_TRUE(viewerTrust->add(TrustedPeer(CompositionRoot::deviceIDOf(hostFingerprint.view()), hostFingerprint,
                                                 "Program Mac", PeerRole::host, 1)));
        auto hostTrust = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(keychain),
                                                                    KeychainTrustStorage::service(scope),
                                                                    std::string(KeychainTrustStorage::account)));
        ASSERT_TRUE(hostTrust);
        ASSERT_TRUE(hostTrust->add(
            TrustedPeer(*viewerID, viewerIdentity->fingerprint, "Program viewer", PeerRole::client, 1)));
        this->keychain.emplace(keychain);
    }

    std::map<std::string, std::string> hostEnvironment() const {
        auto environment = hostEnvironmentIn(home.path(), server.displayName(), scope);
        environment.insert({{"QUILLMERE_MAC_PAIRING_ADDRESS", "127.0.0.1"},
                            {"QUILLMERE_MAC_TEST_PATTERN", "1"},
                            // As on a Wayland desktop, where Qt would pick Wayland.
                            {"XDG_SESSION_TYPE", "wayland"}});
        return environment;
    }

    std::optional<std::uint16_t> sessionPort(const ChildProcess& host) const {
        std::optional<std::uint16_t> port;
        eventually(
            [&] {
                std::smatch match;
                const std::string log = host.output();
                if (std::regex_search(log, match, std::regex("listening for sessions on UDP port ([0-9]+)")))
                    port = static_cast<std::uint16_t>(std::stoi(match[1]));
                return port.has_value();
            },
            20s);
        return port;
    }

    std::unique_ptr<ChildProcess> viewer(const std::vector<std::string>& options, const std::string& name) const {
        std::vector<std::string> arguments{QUILLMERE_VIEWER_PROGRAM, "--state", (home.path() / "viewer").string(),
                                           "connect"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return std::make_unique<ChildProcess>(program(arguments, std::map<std::string, std::string>{}, home.path() / name));
    }

    // Input as a user gives it, through XTest.
    void xdotool(const std::vector<std::string>& arguments) const {
        std::vector<std::string> command{"/usr/bin/xdotool"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        ChildProcess run = program(command, {{"DISPLAY", server.displayName()}}, home.path() / "xdotool.log");
        EXPECT_EQ(run.wait(10s), 0) << run.output();
    }

    // Clicks the tray icon and, once its menu is open, takes the item that
    // the given number of Down keys reaches.
    void chooseFromTrayMenu(xcb_window_t icon, int downs, const std::string& screenshot = {}) const {
        // Two clicks within the double-click interval are a double click.
        std::this_thread::sleep_for(500ms);
        const QRect at = probe.geometry(icon);
        const std::size_t before = probe.windows("quillmere-host").size();
        xdotool({"mousemove", std::to_string(at.center().x()), std::to_string(at.center().y()), "click", "1"});
        ASSERT_TRUE(eventually([&] { return probe.windows("quillmere-host").size() > before; }, 10s)) << "no menu";
        // Keys reach the menu once it holds the keyboard.
        ASSERT_TRUE(eventually([&] { return probe.keyboardGrabbed(); }, 10s)) << "the menu never took the keyboard";
        if (!screenshot.empty()) keepScreenshot(screenshot);
        std::vector<std::string> keys{"key"};
        for (int i = 0; i < downs; ++i) keys.emplace_back("Down");
        keys.emplace_back("Return");
        xdotool(keys);
    }

    // What zbarimg reads from the picture, byte for byte; none without a code.
    std::optional<std::string> readQRCode(const QImage& image) const {
        const auto file = home.path() / "code.png";
        if (!image.save(QString::fromStdString(file.string()))) return std::nullopt;
        return testing::readQRCode(file);
    }

    // The host's viewable window of that title; the tray icon is named too,
    // windows are larger.
    std::optional<xcb_window_t> windowTitled(const std::string& title) const {
        std::optional<xcb_window_t> found;
        eventually(
            [&] {
                for (const xcb_window_t window : probe.windows("quillmere-host"))
                    if (probe.title(window) == title && probe.geometry(window).width() > 100) found = window;
                return found.has_value();
            },
            10s);
        return found;
    }
    std::size_t windowsTitled(const std::string& title) const {
        std::size_t count = 0;
        for (const xcb_window_t window : probe.windows("quillmere-host"))
            if (probe.title(window) == title && probe.geometry(window).width() > 100) ++count;
        return count;
    }
    // Inside the screen with its frame, title bar and all.
    bool onScreen(xcb_window_t window) const {
        return probe.geometry(probe.root()).contains(probe.framed(window));
    }

    // Kept beside the build as the test's artifacts.
    void keepScreenshot(const std::string& name, std::optional<xcb_window_t> window = std::nullopt) const {
        keepPicture(name, probe.image(window.value_or(probe.root())));
    }
    void keepPicture(const std::string& name, const QImage& picture) const {
        std::filesystem::create_directories(QUILLMERE_SCREENSHOTS);
        const std::string path = std::string(QUILLMERE_SCREENSHOTS) + "/" + name;
        EXPECT_TRUE(picture.save(QString::fromStdString(path))) << path;
    }

    XvfbServer server;
    // trayer's own light panel unless a tint is given.
    std::string panelTint;
    DesktopProbe probe{server.displayName()};
    TemporaryFolder home;
    std::optional<ChildProcess> trayer;
    std::optional<Keychain> keychain;
    Digest32 hostFingerprint;
};

TEST_F(HostProgram, TrayWindowsPairingStreamingStopSharingAndACleanQuitOnSigterm) {
    ChildProcess host = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "host.log");
    const auto port = sessionPort(host);
    ASSERT_TRUE(port) << host.output();
    EXPECT_EQ(host.output().find("wayland"), std::string::npos) << "Qt looked for Wayland first:\n" << host.output();
    std::vector<xcb_window_t> icons;
    ASSERT_TRUE(eventually([&] { return !(icons = probe.windows("quillmere-host", "trayer")).empty(); }, 10s))
        << "no tray icon inside trayer";
    const xcb_window_t icon = icons[0];
    // The status window opens at launch; each window is kept as a picture
    // of its own, on top as it just opened.
    const auto statusWindow = windowTitled("Quillmere");
    ASSERT_TRUE(statusWindow) << "no status window";
    EXPECT_EQ(probe.geometry(*statusWindow).size(), QSize(560, 620));
    keepScreenshot("status-window.png", *statusWindow);
    EXPECT_EQ(redPixels(probe.image(icon)), 0);
    // The idle glyph stands out from the panel, as a template image would.
    EXPECT_TRUE(eventually([&] { return contrastingPixels(probe.image(icon)) > 20; }, 10s));

    // "Pair iPhone…" from the tray menu shows a code that a phone reads as
    // the invitation; Return approves the phone that used it.
    chooseFromTrayMenu(icon, 2);
    const auto pairingWindow = windowTitled("Pair iPhone");
    ASSERT_TRUE(pairingWindow) << "no pairing window";
    EXPECT_TRUE(eventually([&] { return onScreen(*pairingWindow); }, 10s)) << "the pairing window is off the screen";
    std::optional<std::string> invitation;
    ASSERT_TRUE(eventually([&] { return (invitation = readQRCode(probe.image(*pairingWindow))).has_value(); }, 20s));
    EXPECT_EQ(invitation->rfind("quillmere:1:", 0), 0u) << *invitation;
    EXPECT_TRUE(eventually([&] { return !scrolls(probe.image(*pairingWindow)); }, 10s)) << "the page scrolls";
    keepScreenshot("pairing-window.png", *pairingWindow);
    const auto phoneState = home.path() / "phone";
    ChildProcess pairing = program({QUILLMERE_VIEWER_PROGRAM, "--state", phoneState.string(), "pair", "--name", "Program phone",
                     *invitation},
                    {}, home.path() / "pairing.txt");
    // The code gives way to the question once the phone asked.
    ASSERT_TRUE(eventually([&] { return !readQRCode(probe.image(*pairingWindow)); }, 20s)) << pairing.output();
    keepScreenshot("pairing-approval.png", *pairingWindow);
    xdotool({"windowactivate", "--sync", std::to_string(*pairingWindow), "key", "Return"});
    EXPECT_EQ(pairing.wait(30s), 0) << pairing.output();
    // The very host: its invitation carried the scoped identity's fingerprint.
    EXPECT_NE(pairing.output().find(fmt::format("(fingerprint {:02x})", fmt::join(hostFingerprint.bytes(), ""))),
              std::string::npos)
        << pairing.output();

    chooseFromTrayMenu(icon, 3);
    const auto settingsWindow = windowTitled("Quillmere Settings");
    ASSERT_TRUE(settingsWindow) << "no settings window";
    EXPECT_GE(probe.geometry(*settingsWindow).width(), 520);
    EXPECT_GE(probe.geometry(*settingsWindow).height(), 400);
    EXPECT_TRUE(onScreen(*settingsWindow));
    keepScreenshot("settings-window.png", *settingsWindow);

    const std::vector<std::string> session{"--host", "127.0.0.1", "--port", std::to_string(*port), "--select",
                                           "title:Test pattern", "--expect-test-pattern", "--retries", "0"};
    std::vector<std::string> frames = session;
    frames.insert(frames.end(), {"--frames", "20"});
    auto counted = viewer(frames, "frames.json");
    EXPECT_EQ(counted->wait(60s), 0) << counted->output();
    EXPECT_NE(counted->output().find("\"verdict\":\"pass\""), std::string::npos) << counted->output();

    // The phone paired through the window streams too.
    ChildProcess phone = program({QUILLMERE_VIEWER_PROGRAM, "--state", phoneState.string(), "connect", "--host", "127.0.0.1", "--port",
                   std::to_string(*port), "--select", "title:Test pattern", "--frames", "5", "--retries", "0"},
                  {}, home.path() / "phone.json");
    EXPECT_EQ(phone.wait(60s), 0) << phone.output();

    // Control of a display is granted to a paired device: input is composed.
    // A still display sends few frames: the session runs for a time instead.
    auto controlling = viewer({"--host", "127.0.0.1", "--port", std::to_string(*port), "--select", "display:0",
                               "--duration", "2", "--move", "5,700", "--click", "--retries", "0"},
                              "control.json");
    EXPECT_EQ(controlling->wait(60s), 0) << controlling->output();

    std::vector<std::string> open = session;
    open.insert(open.end(), {"--duration", "60", "--verbose"});
    auto streamingViewer = [&](const std::string& name) {
        auto program = viewer(open, name);
        EXPECT_TRUE(eventually([&] { return program->output().find(": stream ") != std::string::npos; }, 30s))
            << program->output();
        return program;
    };

    // While a session streams the icon is the red indicator; "Stop Sharing"
    // from its menu ends the session.
    auto stopped = streamingViewer("stopped.json");
    ASSERT_TRUE(eventually([&] { return redPixels(probe.image(icon)) > 20; }, 10s));
    // The status line is disabled: the first item the keys reach is "Stop Sharing".
    chooseFromTrayMenu(icon, 1, "tray-menu.png");
    EXPECT_TRUE(stopped->wait(20s));
    EXPECT_NE(stopped->output().find("\"end\":\"hostBye\""), std::string::npos) << stopped->output();
    EXPECT_TRUE(eventually([&] { return redPixels(probe.image(icon)) == 0; }, 10s));

    // SIGTERM takes the quit path: the session streaming then gets its bye.
    // By then the diagnostics log holds the launch's context and a
    // performance record of the stream (one every 5 s while sharing).
    auto quitting = streamingViewer("quitting.json");
    const auto diagnostics = home.path() / "cache" / "Quillmere-Diagnostics" / "host-perf.jsonl";
    EXPECT_TRUE(eventually([&] { return readFile(diagnostics).find("\"event\":\"host.perf\"") != std::string::npos; },
                        15s));
    EXPECT_NE(readFile(diagnostics).find("\"event\":\"host.context\""), std::string::npos);
    host.signal(SIGTERM);
    EXPECT_EQ(host.wait(20s), 0) << host.output();
    EXPECT_TRUE(quitting->wait(20s));
    EXPECT_NE(quitting->output().find("\"end\":\"hostBye\""), std::string::npos) << quitting->output();

    // The scope's items went at quit; with a scope nothing was advertised.
    auto identity = IdentityStore(*keychain).load(IdentityStore::hostLabel(scope));
    ASSERT_TRUE(identity);
    EXPECT_FALSE(identity->has_value());
    auto trust = KeychainTrustStorage(*keychain).load(KeychainTrustStorage::service(scope), KeychainTrustStorage::account);
    ASSERT_TRUE(trust);
    EXPECT_FALSE(trust->has_value());
    EXPECT_EQ(host.output().find("Bonjour"), std::string::npos) << host.output();
}

// A phone types into another application while its clipboard pull asks the
// user, the status window shown behind that application, closed or
// minimized: the prompt comes forward and asks for attention, the keyboard
// stays where it was and every key arrives; a click then focuses the prompt.
TEST_F(HostProgram, APromptComesForwardWithoutTakingTheKeyboard) {
    ChildProcess host = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "host.log");
    const auto port = sessionPort(host);
    ASSERT_TRUE(port) << host.output();
    const std::string letters = "quillmere";
    std::vector<std::string> typing{"--host", "127.0.0.1", "--port", std::to_string(*port), "--select", "display:0",
                                    "--frames", "1", "--input-every", "250", "--pull-clipboard", "--retries", "0"};
    for (const char letter : letters) typing.insert(typing.end(), {"--type", std::string(1, letter)});
    const struct Row {
        const char* status;
        const char* keys;
    } rows[] = {{"behind", nullptr}, {"closed", "ctrl+w"}, {"minimized", "ctrl+m"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        const auto status = windowTitled("Quillmere");
        ASSERT_TRUE(status);
        if (row.keys) {
            xdotool({"windowactivate", "--sync", std::to_string(*status), "key", "--clearmodifiers", row.keys});
            ASSERT_TRUE(eventually([&] { return !probe.viewable(*status); }, 10s));
        }
        // An application the window manager focuses as it opens.
        const auto keys = home.path() / (std::string("keys-") + row.status + ".txt");
        ChildProcess typedInto = program({"/usr/bin/xev", "-event", "keyboard", "-name", "typed into"},
                                         {{"DISPLAY", server.displayName()}}, keys);
        xcb_window_t application = XCB_NONE;
        ASSERT_TRUE(eventually(
            [&] {
                application = probe.activeWindow();
                return probe.property(application, "WM_NAME") == "typed into" && probe.inputFocus() == application;
            },
            10s));
        auto phone = viewer(typing, std::string("typing-") + row.status + ".json");
        const auto pressed = [&] {
            std::string names;
            const std::string log = readFile(keys);
            const std::regex press("KeyPress event[^\n]*\n[^\n]*\n[^\n]*keysym 0x[0-9a-f]+, ([^)]+)\\)");
            for (auto it = std::sregex_iterator(log.begin(), log.end(), press); it != std::sregex_iterator(); ++it)
                names += (*it)[1].str();
            return names;
        };
        // Where the keyboard was whenever it was not with the application.
        std::vector<std::string> elsewhere;
        std::optional<xcb_window_t> prompt;
        const auto typedAndAsked = [&] {
            const xcb_window_t active = probe.activeWindow(), focus = probe.inputFocus();
            if (active != application || focus != application) {
                std::string where = fmt::format("active {:#x}, focus {:#x}", active, focus);
                if (elsewhere.empty() || elsewhere.back() != where) elsewhere.push_back(std::move(where));
            }
            prompt.reset();
            for (const xcb_window_t window : probe.windows("quillmere-host"))
                if (probe.title(window) == "Quillmere" && probe.geometry(window).width() > 100) prompt = window;
            return pressed() == letters && prompt && prominentPixels(probe.image(*prompt)) > 1000;
        };
        EXPECT_TRUE(eventually(typedAndAsked, 30s)) << pressed();
        EXPECT_EQ(pressed(), letters);
        EXPECT_EQ(elsewhere, std::vector<std::string>{});
        ASSERT_TRUE(prompt) << "the prompt never came forward";
        keepScreenshot(std::string("prompt-") + row.status + ".png");
        const auto states = probe.atomNames(*prompt, "_NET_WM_STATE");
        EXPECT_NE(std::find(states.begin(), states.end(), "_NET_WM_STATE_DEMANDS_ATTENTION"), states.end())
            << fmt::format("{}", fmt::join(states, " "));
        const auto stacking = probe.stacking();
        EXPECT_GT(std::find(stacking.begin(), stacking.end(), *prompt),
                  std::find(stacking.begin(), stacking.end(), application))
            << "the prompt stayed under the application";
        // "Allow This Session", under the request's text.
        const QRect at = probe.geometry(*prompt);
        xdotool({"mousemove", std::to_string(at.x() + 193), std::to_string(at.y() + 212), "click", "1"});
        EXPECT_EQ(phone->wait(30s), 0) << phone->output();
        EXPECT_NE(phone->output().find("\"clipboard\":{\"outcome\":"), std::string::npos) << phone->output();
        EXPECT_TRUE(eventually([&] { return probe.activeWindow() == *prompt; }, 10s)) << "a click did not focus it";
    }
}

// The private desktop of scripts/run, a dark panel, on a small laptop's screen.
class DarkPanelHostProgram : public HostProgram {
protected:
    DarkPanelHostProgram() : HostProgram({1366, 768}) { panelTint = "0x2b2b2b"; }

    // Minimized, as the window manager has it.
    bool iconic(xcb_window_t window) const { return probe.wmState(window) == 3 && !probe.viewable(window); }
    bool shown(xcb_window_t window) const { return probe.wmState(window) == 1 && probe.viewable(window); }

    // Opens the pairing window from the tray and waits for its whole page
    // in view with a code that reads; closes it again. Its size then, as WxH.
    std::string pairingFits(xcb_window_t icon, const std::string& screenshot) const {
        chooseFromTrayMenu(icon, 2);
        const auto window = windowTitled("Pair iPhone");
        if (!window) {
            ADD_FAILURE() << "no pairing window";
            return "none";
        }
        xdotool({"windowactivate", "--sync", std::to_string(*window)});
        QImage page;
        EXPECT_TRUE(eventually(
            [&] {
                page = probe.image(*window);
                return onScreen(*window) && !scrolls(page) && readQRCode(page).has_value();
            },
            10s))
            << screenshot << ": the page scrolls, or no code is read off it";
        keepPicture(screenshot, page);
        const std::string size = fmt::format("{}x{}", page.width(), page.height());
        xdotool({"windowactivate", "--sync", std::to_string(*window), "key", "--clearmodifiers", "ctrl+w"});
        EXPECT_TRUE(eventually([&] { return windowsTitled("Pair iPhone") == 0; }, 10s));
        return size;
    }
};

// Openbox keeps the spot Qt first gives a window without a parent, from a
// guess of its frame: the alert that ends a start is centred by the host.
TEST_F(HostProgram, TheAlertThatEndsAStartIsCentredOnTheScreen) {
    const auto settings = home.path() / "config" / "quillmere";
    std::filesystem::create_directories(settings);
    std::filesystem::permissions(settings, std::filesystem::perms::all);
    ChildProcess host = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "host.log");
    const auto alert = windowTitled("Quillmere could not start");
    ASSERT_TRUE(alert) << host.output();
    keepScreenshot("could-not-start.png");
    const QPoint off = probe.geometry(*alert).center() - probe.geometry(probe.root()).center();
    EXPECT_LE(off.manhattanLength(), 1) << off.x() << ", " << off.y();
    xdotool({"windowactivate", "--sync", std::to_string(*alert), "key", "Return"});
    EXPECT_EQ(host.wait(20s), 1) << host.output();
}

// One host per desktop, even after one was killed; a minimized window back
// from a second start and from the tray; the pairing window's first opening
// as its later ones; the application's menu and its shortcuts in every
// window; the iPhones tab by mouse.
TEST_F(DarkPanelHostProgram, OneHostPerDesktopTheMenuInEveryWindowAndCtrlQFromSettings) {
    {
        // Killed without its quit path: its socket stays behind.
        ChildProcess killed = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "killed.log");
        ASSERT_TRUE(sessionPort(killed)) << killed.output();
        killed.signal(SIGKILL);
        EXPECT_EQ(killed.wait(10s), 128 + SIGKILL);
    }
    ChildProcess host = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "host.log");
    const auto port = sessionPort(host);
    ASSERT_TRUE(port) << host.output();
    const auto statusWindow = windowTitled("Quillmere");
    ASSERT_TRUE(statusWindow) << "no status window";
    std::vector<xcb_window_t> icons;
    ASSERT_TRUE(eventually([&] { return !(icons = probe.windows("quillmere-host", "trayer")).empty(); }, 10s));
    EXPECT_TRUE(eventually([&] { return contrastingPixels(probe.image(icons[0])) > 20; }, 10s))
        << "the idle icon is lost on a dark panel";

    // The pairing window opens the first time as it does later: the window
    // that first shows the whole page is the one it keeps.
    const std::string first = pairingFits(icons[0], "pairing-first-1366x768.png");
    EXPECT_EQ(pairingFits(icons[0], "pairing-again-1366x768.png"), first) << "the first opening changed after it fit";

    const auto key = [&](xcb_window_t window, const std::string& keys) {
        xdotool({"windowactivate", "--sync", std::to_string(window), "key", "--clearmodifiers", keys});
    };
    // A second start shows the first one's window, minimized by Ctrl+M, and ends.
    key(*statusWindow, "ctrl+m");
    ASSERT_TRUE(eventually([&] { return iconic(*statusWindow); }, 10s)) << "Ctrl+M minimized nothing";
    ChildProcess second = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "second.log");
    EXPECT_EQ(second.wait(20s), 0) << second.output();
    EXPECT_NE(second.output().find("quillmere-host: already running on display " + server.displayName() +
                                   "; showed its status window\n"),
              std::string::npos)
        << second.output();
    EXPECT_TRUE(eventually([&] { return shown(*statusWindow); }, 10s)) << "the status window stayed minimized";
    EXPECT_EQ(windowsTitled("Quillmere"), 1u);
    // So does "Show Quillmere" from the tray.
    key(*statusWindow, "ctrl+m");
    ASSERT_TRUE(eventually([&] { return iconic(*statusWindow); }, 10s));
    chooseFromTrayMenu(icons[0], 1);
    EXPECT_TRUE(eventually([&] { return shown(*statusWindow); }, 10s)) << "the status window stayed minimized";

    // Settings by its shortcut, closed by Ctrl+W, again by the shortcut.
    key(*statusWindow, "ctrl+comma");
    auto settingsWindow = windowTitled("Quillmere Settings");
    ASSERT_TRUE(settingsWindow) << "Ctrl+, opened no settings window";
    key(*settingsWindow, "ctrl+w");
    EXPECT_TRUE(eventually([&] { return windowsTitled("Quillmere Settings") == 0; }, 10s)) << "Ctrl+W left it open";
    key(*statusWindow, "ctrl+comma");
    settingsWindow = windowTitled("Quillmere Settings");
    ASSERT_TRUE(settingsWindow) << "Ctrl+, did not open it again";
    key(*settingsWindow, "ctrl+w");
    ASSERT_TRUE(eventually([&] { return windowsTitled("Quillmere Settings") == 0; }, 10s));

    // The toolbar's "Settings…", the second button under the menu bar.
    const QRect status = probe.geometry(*statusWindow);
    xdotool({"mousemove", std::to_string(status.x() + 141), std::to_string(status.y() + 39), "click", "1"});
    settingsWindow = windowTitled("Quillmere Settings");
    ASSERT_TRUE(settingsWindow) << "the toolbar opened no settings window";

    // "Allow automatic connections" off by a click: the viewer's session asks.
    const QRect settings = probe.geometry(*settingsWindow);
    xdotool({"mousemove", std::to_string(settings.x() + 36), std::to_string(settings.y() + 81), "click", "1"});
    auto asking = viewer({"--host", "127.0.0.1", "--port", std::to_string(*port), "--select", "title:Test pattern",
                          "--frames", "5", "--retries", "0"},
                         "asking.json");
    ASSERT_TRUE(eventually([&] { return prominentPixels(probe.image(*statusWindow)) > 1000; }, 20s))
        << "no request shown";
    // Return presses neither answer. Ctrl+W after it closes the window once
    // Return was handled; a second start shows it again.
    key(*statusWindow, "Return");
    key(*statusWindow, "ctrl+w");
    ASSERT_TRUE(eventually([&] { return windowsTitled("Quillmere") == 0; }, 10s));
    ChildProcess third = program({QUILLMERE_HOST_PROGRAM}, hostEnvironment(), home.path() / "third.log");
    EXPECT_EQ(third.wait(20s), 0) << third.output();
    const auto reopened = windowTitled("Quillmere");
    ASSERT_TRUE(reopened);
    keepScreenshot("status-request.png", *reopened);
    EXPECT_GT(prominentPixels(probe.image(*reopened)), 1000) << "Return answered the request";
    // "Allow This Session", under the request's text.
    const QRect shown = probe.geometry(*reopened);
    xdotool({"mousemove", std::to_string(shown.x() + 193), std::to_string(shown.y() + 212), "click", "1"});
    EXPECT_EQ(asking->wait(30s), 0) << asking->output();

    // The iPhones tab by a click, and the paired viewer removed there.
    xdotool({"windowactivate", "--sync", std::to_string(*settingsWindow)});
    xdotool({"mousemove", std::to_string(settings.x() + 147), std::to_string(settings.y() + 42), "click", "1"});
    keepScreenshot("settings-iphones.png", *settingsWindow);
    const auto trusted = [&] {
        auto trust = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(*keychain),
                                                                KeychainTrustStorage::service(scope),
                                                                std::string(KeychainTrustStorage::account)));
        return trust ? trust->peers().size() : 99u;
    };
    ASSERT_EQ(trusted(), 1u);
    // "Remove…" at the right of the device's row.
    xdotool({"mousemove", std::to_string(settings.right() - 50), std::to_string(settings.y() + 80), "click", "1"});
    ASSERT_TRUE(eventually([&] { return windowsTitled("Quillmere Settings") == 2; }, 10s)) << "no confirmation";
    keepScreenshot("settings-remove.png");
    // The confirmation holds the keyboard, Cancel focused: one step back is "Remove iPhone".
    xdotool({"key", "shift+Tab", "space"});
    EXPECT_TRUE(eventually([&] { return trusted() == 0; }, 10s)) << "the device was not removed";
    EXPECT_TRUE(eventually([&] { return windowsTitled("Quillmere Settings") == 1; }, 10s));

    // Ctrl+Q from the Settings window quits the host.
    key(*settingsWindow, "ctrl+q");
    EXPECT_EQ(host.wait(20s), 0) << host.output();
}

} // namespace
} // namespace quillmere
