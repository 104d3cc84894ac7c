#include "TestSupport/XvfbServer.h"

#include "Platform/X11/XcbWindowManager.h"
#include "TestSupport/Eventually.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace quillmere::testing {

XvfbServer::XvfbServer(Options options) {
    if (!startServer(options)) return;
    if (options.windowManager && !startWindowManager(options.manager)) return;
    ready_ = true;
}

XvfbServer::~XvfbServer() {
    watcher_.reset();
    windowManager_.stop();
    server_.stop();
}

bool XvfbServer::startServer(const Options& options) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return fail("pipe failed");
    std::vector<std::string> arguments{"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                                       "-noreset"};
    for (std::size_t i = 0; i < options.screens.size(); ++i) {
        arguments.push_back("-screen");
        arguments.push_back(std::to_string(i));
        arguments.push_back(std::to_string(options.screens[i].width) + "x" +
                            std::to_string(options.screens[i].height) + "x" + std::to_string(options.screens[i].depth));
    }
    if (options.visualClass) {
        arguments.push_back("-cc");
        arguments.push_back(std::to_string(*options.visualClass));
    }
    server_ = ChildProcess(arguments, {.environment = environmentWith("DISPLAY", ""), .keepFd = fds[1]});
    close(fds[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) continue;
        char buffer[32];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) return fail("Xvfb did not report a display number");
    displayName_ = ":" + number.substr(0, number.find('\n'));
    return true;
}

bool XvfbServer::startWindowManager(WindowManager manager) {
    managerHome_.emplace();
    const std::string home = managerHome_->path().string();
    // Neither the user's settings nor their session bus: metacity's settings
    // stay in memory, at their defaults.
    const auto environment = environmentWith({{"DISPLAY", displayName_},
                                              {"HOME", home},
                                              {"XDG_CONFIG_HOME", home + "/config"},
                                              {"XDG_CACHE_HOME", home + "/cache"},
                                              {"XDG_DATA_HOME", home + "/data"},
                                              {"GSETTINGS_BACKEND", "memory"}},
                                             {"DBUS_SESSION_BUS_ADDRESS"});
    const char* name = manager == WindowManager::metacity ? "metacity" : "openbox";
    windowManager_ = ChildProcess({std::string("/usr/bin/") + name, "--sm-disable"}, {.environment = environment});
    auto opened = XcbConnection::open(displayName_);
    if (!opened) return fail("cannot connect to Xvfb");
    watcher_ = std::move(*opened);
    xcb_connection_t* c = watcher_->get();
    const xcb_window_t root = watcher_->screens().front()->root;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    // Managing once it announces itself on the root window.
    const bool managed = eventually([&] { return XcbWindowManager::running(*watcher_, root); }, left());
    // It announces itself before it handles map requests: wait until it
    // maps a probe window, asking again while it does not.
    bool mapping = false;
    if (managed) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        const xcb_window_t probe = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, root, 0, 0, 16, 16, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, 0, nullptr);
        // A map request sent too early is lost: it is sent again every
        // tenth question.
        int asked = 0;
        mapping = eventually(
            [&] {
                if (asked++ % 10 == 0) xcb_map_window(c, probe);
                xcb_get_window_attributes_reply_t* reply =
                    xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, probe), nullptr);
                const bool viewable = reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
                std::free(reply);
                return viewable;
            },
            left());
        // Gone from the client list once the manager is done with it. The
        // connection stays open: a client connecting after it could be
        // given the same window identifiers while the manager still works
        // on the probe, and the two would be mixed up.
        xcb_destroy_window(c, probe);
        const char listName[] = "_NET_CLIENT_LIST";
        xcb_intern_atom_reply_t* list =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof listName - 1, listName), nullptr);
        const auto gone = [&] {
            xcb_get_property_reply_t* reply = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, list->atom, XCB_ATOM_WINDOW, 0, 1024), nullptr);
            bool present = false;
            if (reply != nullptr) {
                const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
                const int count = xcb_get_property_value_length(reply) / 4;
                present = std::find(windows, windows + count, probe) != windows + count;
            }
            std::free(reply);
            return !present;
        };
        const bool listed = list == nullptr || !eventually(gone, left());
        std::free(list);
        mapping = mapping && !listed;
    }
    return mapping ? true : fail(std::string(name) + " did not start");
}

bool XvfbServer::fail(std::string text) {
    failure_ = std::move(text);
    return false;
}

} // namespace quillmere::testing
