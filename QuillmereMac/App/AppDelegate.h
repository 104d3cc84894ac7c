#pragma once

#include "QuillmereMac/App/AppUpdater.h"
#include "QuillmereMac/App/CompositionRoot.h"
#include "QuillmereMac/App/HostAppController.h"
#include "QuillmereMac/App/RootNames.h"
#include "QuillmereMac/Bundle/BundleInfo.h"

#include <functional>
#include <memory>
#include <string>

namespace quillmere {

// The program's outermost shell: refuses a desktop whose colours it can
// neither draw on nor share, tells of a settings file it cannot use,
// composes the host once the event loop runs, shows "Quillmere could not
// start" when it cannot (or when its settings are not this account's
// alone), and holds quitting back until the controller has torn the host
// down and a keychain scope's items are gone. Main thread only.
class AppDelegate {
public:
    struct Options {
        RootNames::Environment environment;
        CompositionRoot::Platform platform;
        // The host's names other than the environment's.
        std::string hostName;
        std::string mdnsHostName;
        // The build's version, as the updater compares it.
        std::string version = BundleInfo::main().version();
        // Shows the alert (message, informative text) and returns once the
        // user dismissed it.
        std::function<void(const std::string&, const std::string&)> alert;
        // Ends the event loop with the status.
        std::function<void(int)> exit;

        // The real system: the process environment, the standard keychain
        // and defaults, the main queue, a message box, QApplication::exit.
        static Options standard();
    };

    enum class TerminateReply { now, later };

    explicit AppDelegate(Options options);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The launch steps, once the event loop runs.
    void launch();
    // Now when nothing was composed or the tear-down has begun; otherwise
    // starts the tear-down, which exits with 0 when done.
    TerminateReply shouldTerminate();
    // The quit path of the menu, the signals and a failed launch alike.
    void requestQuit();

    CompositionRoot* root() const { return root_.get(); }
    HostAppController* controller() const { return controller_.get(); }
    AppUpdater* updater() const { return updater_.get(); }
    // The status a terminate-now ends with.
    int exitStatus() const { return exitStatus_; }

private:
    // Told on standard error, and in the alert unless Qt cannot draw it.
    void failToStart(const std::string& detail, bool alert = true);

    Options options_;
    std::unique_ptr<CompositionRoot> root_;
    std::unique_ptr<AppUpdater> updater_;
    std::unique_ptr<HostAppController> controller_;
    std::function<void()> scopedCleanup_;
    int exitStatus_ = 0;
};

} // namespace quillmere
