#pragma once

// A private X server for tests and benchmarks: Xvfb on a display number it
// picks itself (-displayfd), so parallel runs never clash, optionally with
// openbox managing its windows. Both die with the process that started them.

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quillmere::testing {

class XvfbServer {
public:
    struct Screen {
        int width = 640;
        int height = 480;
    };
    struct Options {
        std::vector<Screen> screens{Screen{}};
        bool windowManager = false;
    };

    XvfbServer() : XvfbServer(Options{}) {}
    explicit XvfbServer(Options options) {
        if (!startServer(options)) return;
        if (options.windowManager && !startWindowManager()) return;
        ready_ = true;
    }

    ~XvfbServer() {
        if (watcher_ != nullptr) xcb_disconnect(watcher_);
        stop(windowManager_);
        stop(server_);
    }

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool ready() const { return ready_; }
    const std::string& failure() const { return failure_; }
    // ":N"
    const std::string& displayName() const { return displayName_; }

private:
    static pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                       int keepFd = -1) {
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid != 0) return pid;
        // Child: only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        if (keepFd >= 0) fcntl(keepFd, F_SETFD, 0);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }

    static std::vector<std::string> environmentWith(const std::string& display) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "DISPLAY=", 8) != 0) environment.emplace_back(*entry);
        }
        environment.push_back("DISPLAY=" + display);
        return environment;
    }

    bool startServer(const Options& options) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return fail("pipe failed");
        std::vector<std::string> arguments{"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                                           "-noreset"};
        for (std::size_t i = 0; i < options.screens.size(); ++i) {
            arguments.push_back("-screen");
            arguments.push_back(std::to_string(i));
            arguments.push_back(std::to_string(options.screens[i].width) + "x" +
                                std::to_string(options.screens[i].height) + "x24");
        }
        server_ = spawn(arguments, environmentWith(""), fds[1]);
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

    bool startWindowManager() {
        windowManager_ = spawn({"/usr/bin/openbox", "--sm-disable"}, environmentWith(displayName_));
        // Managing once it announces itself on the root window.
        xcb_connection_t* c = xcb_connect(displayName_.c_str(), nullptr);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return fail("cannot connect to Xvfb");
        }
        const char name[] = "_NET_SUPPORTING_WM_CHECK";
        xcb_intern_atom_reply_t* atom =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        bool managed = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (atom != nullptr && !managed && std::chrono::steady_clock::now() < deadline) {
            xcb_get_property_reply_t* reply = xcb_get_property_reply(
                c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
            managed = reply != nullptr && xcb_get_property_value_length(reply) == 4;
            std::free(reply);
            if (!managed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::free(atom);
        // It announces itself before it handles map requests: wait until it
        // maps a probe window, asking again while it does not.
        bool mapping = false;
        if (managed) {
            xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
            const xcb_window_t probe = xcb_generate_id(c);
            xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, root, 0, 0, 16, 16, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                              screen->root_visual, 0, nullptr);
            while (!mapping && std::chrono::steady_clock::now() < deadline) {
                xcb_map_window(c, probe);
                for (int i = 0; i < 10 && !mapping; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    xcb_get_window_attributes_reply_t* reply =
                        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, probe), nullptr);
                    mapping = reply != nullptr && reply->map_state == XCB_MAP_STATE_VIEWABLE;
                    std::free(reply);
                }
            }
            // Gone from the client list once openbox is done with it. The
            // connection stays open: a client connecting after it could be
            // given the same window identifiers while openbox still works on
            // the probe, and the two would be mixed up.
            xcb_destroy_window(c, probe);
            const char listName[] = "_NET_CLIENT_LIST";
            xcb_intern_atom_reply_t* list =
                xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof listName - 1, listName), nullptr);
            bool listed = list != nullptr;
            while (listed && std::chrono::steady_clock::now() < deadline) {
                xcb_get_property_reply_t* reply = xcb_get_property_reply(
                    c, xcb_get_property(c, 0, root, list->atom, XCB_ATOM_WINDOW, 0, 1024), nullptr);
                listed = false;
                if (reply != nullptr) {
                    const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
                    const int count = xcb_get_property_value_length(reply) / 4;
                    listed = std::find(windows, windows + count, probe) != windows + count;
                }
                std::free(reply);
                if (listed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::free(list);
            mapping = mapping && !listed;
        }
        watcher_ = c;
        return mapping ? true : fail("openbox did not start");
    }

    static void stop(pid_t& pid) {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    bool fail(std::string text) {
        failure_ = std::move(text);
        return false;
    }

    xcb_connection_t* watcher_ = nullptr;
    pid_t server_ = -1;
    pid_t windowManager_ = -1;
    std::string displayName_;
    std::string failure_;
    bool ready_ = false;
};

} // namespace quillmere::testing
