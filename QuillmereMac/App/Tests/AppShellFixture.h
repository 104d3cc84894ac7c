#pragma once

// What the shell's offscreen tests share beside the window tests' support:
// a host composed over temporary folders through the real launch path, with
// every composition step and exit recorded.

#include "TestSupport/Host/PermissionsStub.h"
#include "TestSupport/TemporaryFolder.h"
#include "Platform/Dispatch/MainQueue.h"
#include "QuillmereMac/App/AppDelegate.h"
#include "QuillmereMac/Views/Tests/PanelTestHost.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

// An engine whose trust store lives in memory.
inline std::shared_ptr<HostEngine> memoryEngine(std::shared_ptr<PermissionChecking> permissions) {
    auto blob = std::make_shared<std::optional<Bytes>>();
    auto store = TrustStore::open(std::make_unique<AnyTrustStorage>(
        [blob] { return std::expected<std::optional<Bytes>, std::string>(*blob); },
        [blob](ByteView saved) {
            *blob = Bytes(saved.begin(), saved.end());
            return std::expected<void, std::string>();
        }));
    return HostEngine::make(std::move(permissions), std::move(*store), MainQueue::shared());
}

// A host launched as the program launches it, over folders of its own and
// an X display that does not exist.
class LaunchedHost {
public:
    explicit LaunchedHost(RootNames::Environment environment = {}) {
        qtApplication();
        QApplication::setQuitOnLastWindowClosed(false);
        options.environment = std::move(environment);
        options.platform.main = &MainQueue::shared();
        options.platform.keychain = keychain();
        options.platform.defaults = &defaults;
        options.platform.displayName = ":65000";
        options.platform.transportSources.sysfs = PowerSysfs(folder.path() / "sys");
        options.platform.loginItem = LoginItem::autostart(folder.path() / "autostart", "/usr/bin/quillmere-host");
        options.platform.diagnostics = folder.path() / "cache" / "Quillmere-Diagnostics";
        options.platform.trace = [this](std::string_view step) { steps.emplace_back(step); };
        options.hostName = "Test Mac";
        options.mdnsHostName = "test.local";
        options.alert = [this](const std::string& message, const std::string& detail) {
            alerts.emplace_back(message, detail);
        };
        options.exit = [this](int status) { exits.push_back(status); };
    }

    ~LaunchedHost() {
        // What the program's quit does, so that no service outlives its test.
        if (delegate && delegate->controller() && !delegate->controller()->tornDown()) {
            delegate->requestQuit();
            pumpUntil([&] { return !exits.empty(); });
        }
        delegate.reset();
        QCoreApplication::processEvents();
    }

    AppDelegate& launch() {
        delegate = std::make_unique<AppDelegate>(options);
        delegate->launch();
        return *delegate;
    }

    Keychain keychain() const { return Keychain(folder.path() / "keychain"); }
    CompositionRoot& root() const { return *delegate->root(); }
    HostAppController& controller() const { return *delegate->controller(); }

    TemporaryFolder folder;
    // Laid out as the program's: a folder of its own that a test can block.
    Defaults defaults{folder.path() / "config" / "quillmere" / "quillmere.ini"};
    AppDelegate::Options options;
    std::vector<std::string> steps;
    std::vector<std::pair<std::string, std::string>> alerts;
    std::vector<int> exits;
    std::unique_ptr<AppDelegate> delegate;
};

} // namespace quillmere::testing
