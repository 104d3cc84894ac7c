#pragma once

// The real program on a private desktop: Xvfb with openbox (or another
// window manager) and a tray host (trayer), quillmere-host started with a
// keychain scope over folders of the test's own, and quillmere-viewer as the
// phone.

#include "QuillmereMac/App/CompositionRoot.h"
#include "QuillmereMac/App/Tests/DesktopProbe.h"
#include "QuillmereMac/App/Tests/ThirdPartyLeaks.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereViewer/ViewerState.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/QRCodeReader.h"
#include "TestSupport/TemporaryFolder.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <QImage>
#include <QRect>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

using namespace std::chrono_literals;

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A program run with its output in a file, in this process's environment
// less the session bus and the Qt platform this process's window tests chose
// for themselves, with the given variables.
inline ChildProcess program(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                     const std::filesystem::path& output) {
    return ChildProcess(arguments, {.environment = environmentWith(
                                        environment, {"DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"}),
                                    .output = output});
}

// A host of its own folders on a display, its libraries' own leaks
// set aside under the leak checker.
inline std::map<std::string, std::string> hostEnvironmentIn(const std::filesystem::path& root, const std::string& display,
                                                     const std::string& scope) {
    const auto leaks = root / "leaks.supp";
    std::ofstream(leaks) << thirdPartyLeaks;
    return {{"DISPLAY", display},
            {"LSAN_OPTIONS", "suppressions=" + leaks.string() + ":print_suppressions=0"},
            {"HOME", root.string()},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_CACHE_HOME", (root / "cache").string()},
            {"XDG_RUNTIME_DIR", root.string()},
            {"QUILLMERE_MAC_KEYCHAIN_SCOPE", scope}};
}

class HostProgram : public ::testing::Test {
protected:
    static constexpr const char* scope = "program";

    // The screen and window manager scripts/run gives its private desktop
    // unless told.
    explicit HostProgram(XvfbServer::Screen screen = {1280, 800},
                         XvfbServer::WindowManager manager = XvfbServer::WindowManager::openbox)
        : server({.screens = {screen}, .windowManager = true, .manager = manager}) {}

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
        return quillmere::testing::readQRCode(file);
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

} // namespace quillmere::testing
