// The real program on a private desktop (HostProgramFixture.h): its
// command line, start-up refusals, tray, windows, pairing and streaming.

#include "QuillmereMac/App/Tests/HostProgramFixture.h"
#include "TestSupport/OtherAccount.h"

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
using testing::hostEnvironmentIn;
using testing::HostProgram;
using testing::program;
using testing::readFile;
using testing::TemporaryFolder;
using testing::XvfbServer;

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
