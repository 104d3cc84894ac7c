#pragma once

#include "Platform/X11/XcbConnection.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <xcb/xcb.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

// A private X server for tests and benchmarks: Xvfb on a display number it
// picks itself (-displayfd), so parallel runs never clash, optionally with
// a window manager (openbox unless told). Both die with the process that
// started them.
class XvfbServer {
public:
    enum class WindowManager { openbox, metacity };
    struct Screen {
        int width = 640;
        int height = 480;
        // Bits of colour a pixel: 8 (a palette), 15, 16, 24 or 30.
        int depth = 24;
    };
    struct Options {
        std::vector<Screen> screens{Screen{}};
        bool windowManager = false;
        // The root visual's class on every screen (XCB_VISUAL_CLASS_*), if not Xvfb's.
        std::optional<int> visualClass = std::nullopt;
        // The one that manages, with windowManager.
        WindowManager manager = WindowManager::openbox;
    };

    XvfbServer() : XvfbServer(Options{}) {}
    explicit XvfbServer(Options options);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool ready() const { return ready_; }
    const std::string& failure() const { return failure_; }
    // ":N"
    const std::string& displayName() const { return displayName_; }

private:
    bool startServer(const Options& options);
    bool startWindowManager(WindowManager manager);
    bool fail(std::string text);

    // Kept open once the manager manages: see startWindowManager.
    std::unique_ptr<XcbConnection> watcher_;
    ChildProcess server_;
    // The manager's home, away from the user's settings.
    std::optional<TemporaryFolder> managerHome_;
    ChildProcess windowManager_;
    std::string displayName_;
    std::string failure_;
    bool ready_ = false;
};

} // namespace quillmere::testing
