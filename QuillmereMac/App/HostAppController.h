#pragma once

#include "Platform/Log/Logger.h"
#include "QuillmereMac/App/AppUpdater.h"
#include "QuillmereMac/App/CompositionRoot.h"
#include "QuillmereMacCore/SharingIndicator.h"

#include <QColor>
#include <QKeySequence>
#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace quillmere {

class StatusView;

// The host's face on the desktop: the tray icon with its menu and sharing
// indicator, the main menus, the three windows (made once, hidden on close),
// the menu actions and the once-only tear-down that quitting waits for.
// Main thread only.
class HostAppController final : public QObject {
public:
    static constexpr std::uint32_t pairingLifetimeSeconds = 300;
    // How long the tear-down waits for closing connections to finish their bye.
    static constexpr std::uint64_t closeWaitNs = 2'000'000'000;
    // And for a device approved to be saved: the keychain's lock wait, and more.
    static constexpr std::uint64_t saveWaitNs = 8'000'000'000;

    // The root must outlive the controller; the updater is optional.
    HostAppController(CompositionRoot& root, AppUpdater* updater, std::function<void()> terminate,
                      QObject* parent = nullptr);
    ~HostAppController() override;

    void start();
    // Once: later calls only run done at once.
    void tearDown(std::function<void()> done);
    bool tornDown() const { return tornDown_; }

    // Menu and button actions.
    void showWindow();
    void showPairing();
    void showSettings();
    void refreshPermissions();
    void requestScreenRecording();
    void requestAccessibility();
    void stopSharing();
    void exportDiagnostics();
    void showAbout();
    // Hides every window of the host; the next window shown brings them
    // back, as showing a hidden application does.
    void hideApplication();
    void quit();

    CompositionRoot& root() const { return root_; }
    const SharingIndicator& indicator() const { return indicator_; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QMenu* statusMenu() const { return statusMenu_; }
    // Quillmere, File, Sharing and Window, in that order.
    const std::vector<QMenu*>& mainMenus() const { return mainMenus_; }
    QMainWindow* window() const { return window_; }
    QWidget* pairingWindow() const { return pairingWindow_; }
    QWidget* settingsWindow() const { return settingsWindow_; }
    QWidget* aboutBox() const { return aboutBox_; }
    // Shown when no program could open the diagnostics folder: where it is.
    QWidget* diagnosticsBox() const { return diagnosticsBox_; }
    // Asks the desktop to open a folder; false when no program took it.
    // Tests replace the opening.
    std::function<bool(const std::filesystem::path&)> openFolder;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildStatusMenu();
    void installMainMenu();
    void applyIndicator(const SharingIndicator& indicator);
    void statusChanged(const HostStatus& status);
    // Made on first use, then kept.
    QMainWindow* statusWindow();
    // Once the connections said their bye and a pairing saving ended, or
    // their waits since the engine stopped ran out.
    void finishTearDown(std::uint64_t stoppedNs, std::function<void()> done);
    // Sized to the content's size hint, never below minimum nor beyond the screen.
    QWidget* makeWindow(QWidget* content, const QString& title, QSize minimum);
    void attachMenus(QWidget* window);
    // The idle glyph's colour for the panel the tray icon sits on.
    QColor idleColor() const;
    static void centre(QWidget* window);
    static void bringForward(QWidget* window);
    // What hideApplication hid, shown again; windows closed before stay closed.
    void unhide();
    void showDiagnosticsFolder(const std::filesystem::path& folder);
    QAction* addAction(QMenu* menu, const QString& title, void (HostAppController::*action)(),
                       const QKeySequence& shortcut = {});

    CompositionRoot& root_;
    QSystemTrayIcon* statusItem_ = nullptr;
    QMenu* statusMenu_ = nullptr;
    QPointer<QMainWindow> window_;
    QPointer<QWidget> pairingWindow_;
    QPointer<QWidget> settingsWindow_;
    QPointer<QWidget> aboutBox_;
    QPointer<QWidget> diagnosticsBox_;
    // Windows closed by the tear-down and left to the event loop to delete;
    // whatever it has not deleted goes with this controller, while the
    // defaults and the engine their views observe still exist.
    std::vector<QPointer<QWidget>> closing_;
    std::vector<QPointer<QWidget>> hidden_;
    std::function<void()> terminate_;
    bool tornDown_ = false;
    AppUpdater* updater_;
    SharingIndicator indicator_ = SharingIndicator(SharingIndicator::State::idle());
    QAction* sharingStatusItem_ = nullptr;
    QAction* stopSharingItem_ = nullptr;
    QAction* sharingSeparator_ = nullptr;
    std::optional<HostEngine::ObserverToken> statusToken_;
    std::vector<QMenu*> mainMenus_;
    Logger log_{"com.ornbeck.quillmere.mac", "app"};
};

} // namespace quillmere
