// The status window's own behaviour on the real program: a prompt that
// comes forward without the keyboard under openbox and metacity, and the
// alert that ends a start.

#include "QuillmereMac/App/Tests/HostProgramFixture.h"

#include <QPoint>

namespace quillmere {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::eventually;
using testing::HostProgram;
using testing::program;
using testing::readFile;

using WindowManager = testing::XvfbServer::WindowManager;

std::string nameOf(WindowManager manager) { return manager == WindowManager::metacity ? "metacity" : "openbox"; }

class HostProgramUnder : public HostProgram, public ::testing::WithParamInterface<WindowManager> {
protected:
    HostProgramUnder() : HostProgram({1280, 800}, GetParam()) {}
};

// A phone types into another application while its clipboard pull asks the
// user, the status window shown behind that application, closed or
// minimized: the prompt is shown, raised where the window manager lets it,
// and asks for attention; the keyboard stays where it was and every key
// arrives; a click then focuses the prompt. Managers restore a minimized
// window on different requests; Qt follows, so the user minimizes it again.
TEST_P(HostProgramUnder, APromptComesForwardWithoutTakingTheKeyboard) {
    const std::string manager = nameOf(GetParam());
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
    } rows[] = {{"behind", nullptr}, {"closed", "ctrl+w"}, {"minimized", "ctrl+m"}, {"minimized-again", "ctrl+m"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(manager + ", " + row.status);
        const auto status = windowTitled("Quillmere");
        ASSERT_TRUE(status);
        if (row.keys) {
            xdotool({"windowactivate", "--sync", std::to_string(*status), "key", "--clearmodifiers", row.keys});
            ASSERT_TRUE(eventually([&] { return !probe.viewable(*status); }, 10s));
        }
        // An application the window manager focuses as it opens, over a
        // corner of the status window, clear of its buttons.
        const auto keys = home.path() / (std::string("keys-") + row.status + ".txt");
        ChildProcess typedInto =
            program({"/usr/bin/xev", "-event", "keyboard", "-name", "typed into", "-geometry", "400x300+600+420"},
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
        keepScreenshot(fmt::format("prompt-{}-{}.png", manager, row.status));
        const auto states = probe.atomNames(*prompt, "_NET_WM_STATE");
        EXPECT_NE(std::find(states.begin(), states.end(), "_NET_WM_STATE_DEMANDS_ATTENTION"), states.end())
            << fmt::format("{}", fmt::join(states, " "));
        EXPECT_EQ(std::find(states.begin(), states.end(), "_NET_WM_STATE_HIDDEN"), states.end())
            << fmt::format("{}", fmt::join(states, " "));
        EXPECT_EQ(probe.activeWindow(), application);
        EXPECT_EQ(probe.inputFocus(), application);
        // Metacity keeps an application from raising itself over the one in
        // use, and marks it instead.
        const auto stacking = probe.stacking();
        if (GetParam() == WindowManager::openbox) {
            EXPECT_GT(std::find(stacking.begin(), stacking.end(), *prompt),
                      std::find(stacking.begin(), stacking.end(), application))
                << "the prompt stayed under the application";
        }
        // "Allow This Session", under the request's text.
        const QRect at = probe.geometry(*prompt);
        xdotool({"mousemove", std::to_string(at.x() + 193), std::to_string(at.y() + 212), "click", "1"});
        EXPECT_EQ(phone->wait(30s), 0) << phone->output();
        EXPECT_NE(phone->output().find("\"clipboard\":{\"outcome\":"), std::string::npos) << phone->output();
        EXPECT_TRUE(eventually([&] { return probe.activeWindow() == *prompt; }, 10s)) << "a click did not focus it";
    }
}

INSTANTIATE_TEST_SUITE_P(X11, HostProgramUnder, ::testing::Values(WindowManager::openbox, WindowManager::metacity),
                         [](const auto& info) { return nameOf(info.param); });

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

} // namespace
} // namespace quillmere
