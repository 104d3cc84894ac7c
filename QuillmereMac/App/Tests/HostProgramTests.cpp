// The real program on a private desktop: Xvfb with openbox and a tray host
// (trayer), quillmere-host started with a keychain scope over folders of the
// test's own, and quillmere-viewer as the phone.

#include "QuillmereMac/App/CompositionRoot.h"
#include "QuillmereMac/App/Tests/ThirdPartyLeaks.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereViewer/ViewerState.h"
#include "TestSupport/ChildProcess.h"
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

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
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
// less the session bus, with the given variables.
ChildProcess program(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
                     const std::filesystem::path& output) {
    return ChildProcess(arguments, {.environment = testing::environmentWith(environment, {"DBUS_SESSION_BUS_ADDRESS"}),
                                    .output = output});
}

// What the test sees of the X display: windows by their WM_CLASS, their
// pictures, the tray selection.
class DesktopProbe {
public:
    explicit DesktopProbe(const std::string& displayName) : c_(xcb_connect(displayName.c_str(), nullptr)) {}
    ~DesktopProbe() { xcb_disconnect(c_); }
    DesktopProbe(const DesktopProbe&) = delete;
    DesktopProbe& operator=(const DesktopProbe&) = delete;

    xcb_window_t root() const { return xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root; }

    // WM_CLASS: the instance and the class name, each ended by a zero byte.
    std::vector<std::string> classNames(xcb_window_t window) const {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr);
        std::vector<std::string> out;
        if (reply != nullptr) {
            const auto* value = static_cast<const char*>(xcb_get_property_value(reply));
            const std::string text(value, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
            for (std::size_t at = 0; at < text.size();) {
                const std::size_t end = std::min(text.find('\0', at), text.size());
                out.push_back(text.substr(at, end - at));
                at = end + 1;
            }
        }
        std::free(reply);
        return out;
    }

    // Every viewable window of the instance name; inside: only those within
    // a window whose instance or class name is that.
    std::vector<xcb_window_t> windows(const std::string& instance, const std::string& inside = {}) const {
        std::vector<xcb_window_t> found;
        std::function<void(xcb_window_t, bool)> search = [&](xcb_window_t window, bool within) {
            const auto names = classNames(window);
            if ((inside.empty() || within) && !names.empty() && names[0] == instance && viewable(window))
                found.push_back(window);
            within = within || std::find(names.begin(), names.end(), inside) != names.end();
            xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr);
            if (tree == nullptr) return;
            const xcb_window_t* children = xcb_query_tree_children(tree);
            for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) search(children[i], within);
            std::free(tree);
        };
        search(root(), false);
        return found;
    }

    // _NET_WM_NAME, the title a window manager shows.
    std::string title(xcb_window_t window) const {
        const char name[] = "_NET_WM_NAME";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, sizeof name - 1, name), nullptr);
        std::string out;
        if (atom != nullptr) {
            xcb_get_property_reply_t* reply = xcb_get_property_reply(
                c_, xcb_get_property(c_, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
            if (reply != nullptr)
                out.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                           static_cast<std::size_t>(xcb_get_property_value_length(reply)));
            std::free(reply);
        }
        std::free(atom);
        return out;
    }

    bool viewable(xcb_window_t window) const {
        xcb_get_window_attributes_reply_t* reply =
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr);
        const bool shown = reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(reply);
        return shown;
    }

    QRect geometry(xcb_window_t window) const {
        QRect rect;
        xcb_get_geometry_reply_t* size = xcb_get_geometry_reply(c_, xcb_get_geometry(c_, window), nullptr);
        xcb_translate_coordinates_reply_t* at =
            xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, window, root(), 0, 0), nullptr);
        if (size != nullptr && at != nullptr) rect = QRect(at->dst_x, at->dst_y, size->width, size->height);
        std::free(size);
        std::free(at);
        return rect;
    }

    // The window's pixels as they are on the screen, the part on it.
    QImage image(xcb_window_t window) const {
        const QRect rect = geometry(window).intersected(geometry(root()));
        xcb_get_image_reply_t* reply = xcb_get_image_reply(
            c_,
            xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root(), static_cast<std::int16_t>(rect.x()),
                          static_cast<std::int16_t>(rect.y()), static_cast<std::uint16_t>(rect.width()),
                          static_cast<std::uint16_t>(rect.height()), ~0u),
            nullptr);
        QImage out;
        if (reply != nullptr && !rect.isEmpty())
            out = QImage(xcb_get_image_data(reply), rect.width(), rect.height(), rect.width() * 4, QImage::Format_RGB32)
                      .copy();
        std::free(reply);
        return out;
    }

    // Whether another client holds the keyboard (as an open menu does): a
    // grab of our own is refused then, and let go at once otherwise.
    bool keyboardGrabbed() const {
        xcb_grab_keyboard_reply_t* reply = xcb_grab_keyboard_reply(
            c_, xcb_grab_keyboard(c_, 0, root(), XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
        const bool taken = reply != nullptr && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        if (reply != nullptr && reply->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
            xcb_flush(c_);
        }
        std::free(reply);
        return taken;
    }

    // Whether a tray host owns the tray selection of the first screen.
    bool trayRunning() const {
        const char name[] = "_NET_SYSTEM_TRAY_S0";
        xcb_intern_atom_reply_t* atom =
            xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, sizeof name - 1, name), nullptr);
        bool owned = false;
        if (atom != nullptr) {
            xcb_get_selection_owner_reply_t* owner =
                xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, atom->atom), nullptr);
            owned = owner != nullptr && owner->owner != XCB_NONE;
            std::free(owner);
        }
        std::free(atom);
        return owned;
    }

private:
    xcb_connection_t* c_;
};

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

TEST(HostProgramCommandLine, HelpAndAMissingDisplayNeedNoDisplay) {
    TemporaryFolder folder;
    ChildProcess help = program({QUILLMERE_HOST_PROGRAM, "--help"}, {{"DISPLAY", ":65000"}}, folder.path() / "help.txt");
    EXPECT_EQ(help.wait(10s), 0);
    EXPECT_NE(help.output().find("QUILLMERE_MAC_KEYCHAIN_SCOPE"), std::string::npos) << help.output();
    ChildProcess nowhere = program({QUILLMERE_HOST_PROGRAM}, {{"DISPLAY", ":65000"}}, folder.path() / "nowhere.txt");
    EXPECT_EQ(nowhere.wait(10s), 1);
    EXPECT_EQ(nowhere.output(),
              "quillmere-host: no X display to run on (set DISPLAY, or start a private one with scripts/run)\n");
}

class HostProgram : public ::testing::Test {
protected:
    static constexpr const char* scope = "program";

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        trayer = program({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                          "28", "--SetDockType", "true"},
                         {{"DISPLAY", server.displayName()}}, home.path() / "trayer.log");
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
        const auto root = home.path();
        const auto leaks = root / "leaks.supp";
        std::ofstream(leaks) << testing::thirdPartyLeaks;
        return {{"DISPLAY", server.displayName()},
                {"LSAN_OPTIONS", "suppressions=" + leaks.string()},
                {"HOME", root.string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_CACHE_HOME", (root / "cache").string()},
                {"XDG_RUNTIME_DIR", root.string()},
                {"QUILLMERE_MAC_KEYCHAIN_SCOPE", scope},
                {"QUILLMERE_MAC_PAIRING_ADDRESS", "127.0.0.1"},
                {"QUILLMERE_MAC_TEST_PATTERN", "1"}};
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
        return std::make_unique<ChildProcess>(program(arguments, {}, home.path() / name));
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

    // Kept beside the build as the test's artifacts.
    void keepScreenshot(const std::string& name, std::optional<xcb_window_t> window = std::nullopt) const {
        std::filesystem::create_directories(QUILLMERE_SCREENSHOTS);
        const std::string path = std::string(QUILLMERE_SCREENSHOTS) + "/" + name;
        EXPECT_TRUE(probe.image(window.value_or(probe.root())).save(QString::fromStdString(path))) << path;
    }

    XvfbServer server{XvfbServer::Options{{{1024, 768}}, true}};
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
    std::vector<xcb_window_t> icons;
    ASSERT_TRUE(eventually([&] { return !(icons = probe.windows("quillmere-host", "trayer")).empty(); }, 10s))
        << "no tray icon inside trayer";
    const xcb_window_t icon = icons[0];
    // The status window opens at launch; each window is kept as a picture
    // of its own, on top as it just opened.
    auto windowTitled = [&](const std::string& title) {
        std::optional<xcb_window_t> found;
        eventually(
            [&] {
                // The tray icon is named too; windows are larger.
                for (const xcb_window_t window : probe.windows("quillmere-host"))
                    if (probe.title(window) == title && probe.geometry(window).width() > 100) found = window;
                return found.has_value();
            },
            10s);
        return found;
    };
    const auto statusWindow = windowTitled("Quillmere");
    ASSERT_TRUE(statusWindow) << "no status window";
    EXPECT_EQ(probe.geometry(*statusWindow).size(), QSize(560, 620));
    keepScreenshot("status-window.png", *statusWindow);
    EXPECT_EQ(redPixels(probe.image(icon)), 0);

    // "Pair iPhone…" from the tray menu shows a code that a phone reads as
    // the invitation; Return approves the phone that used it.
    chooseFromTrayMenu(icon, 2);
    const auto pairingWindow = windowTitled("Pair iPhone");
    ASSERT_TRUE(pairingWindow) << "no pairing window";
    std::optional<std::string> invitation;
    ASSERT_TRUE(eventually([&] { return (invitation = readQRCode(probe.image(*pairingWindow))).has_value(); }, 20s));
    EXPECT_EQ(invitation->rfind("quillmere:1:", 0), 0u) << *invitation;
    keepScreenshot("pairing-window.png", *pairingWindow);
    const auto phoneState = home.path() / "phone";
    ChildProcess pairing = program({QUILLMERE_VIEWER_PROGRAM, "--state", phoneState.string(), "pair", "--name",
                                    "Program phone", *invitation},
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
    EXPECT_EQ(probe.geometry(*settingsWindow).size(), QSize(520, 400));
    keepScreenshot("settings-window.png", *settingsWindow);

    const std::vector<std::string> session{"--host", "127.0.0.1", "--port", std::to_string(*port), "--select",
                                           "title:Test pattern", "--expect-test-pattern", "--retries", "0"};
    std::vector<std::string> frames = session;
    frames.insert(frames.end(), {"--frames", "20"});
    auto counted = viewer(frames, "frames.json");
    EXPECT_EQ(counted->wait(60s), 0) << counted->output();
    EXPECT_NE(counted->output().find("\"verdict\":\"pass\""), std::string::npos) << counted->output();

    // The phone paired through the window streams too.
    ChildProcess phone = program({QUILLMERE_VIEWER_PROGRAM, "--state", phoneState.string(), "connect", "--host",
                                  "127.0.0.1", "--port", std::to_string(*port), "--select", "title:Test pattern",
                                  "--frames", "5", "--retries", "0"},
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

} // namespace
} // namespace quillmere
