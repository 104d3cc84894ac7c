#include "QuillmereMac/App/HostAppController.h"

#include "QuillmereMac/App/StatusView.h"
#include "QuillmereMac/App/WindowAttention.h"
#include "QuillmereMac/Views/AboutBox.h"
#include "QuillmereMac/Views/GroupFrameStyle.h"
#include "QuillmereMac/Views/HostSettingsView.h"
#include "QuillmereMac/Views/PairingView.h"
#include "QuillmereMac/Views/SymbolImage.h"
#include "QuillmereMac/Views/ViewStyle.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdlib>
#include <system_error>

namespace quillmere {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

const QColor sharingRed(255, 59, 48);
// The idle glyph, as a template image is drawn: dark on a light panel,
// light on a dark one.
const QColor onLightPanel(24, 24, 24);
const QColor onDarkPanel(236, 236, 236);

} // namespace

HostAppController::HostAppController(CompositionRoot& root, AppUpdater* updater, std::function<void()> terminate,
                                     QObject* parent)
    : QObject(parent), root_(root), terminate_(std::move(terminate)), updater_(updater) {
    sharingStatusItem_ = new QAction(this);
    sharingStatusItem_->setObjectName("sharingStatusItem");
    stopSharingItem_ = new QAction(QStringLiteral("Stop Sharing"), this);
    stopSharingItem_->setObjectName("stopSharingItem");
    sharingSeparator_ = new QAction(this);
    sharingSeparator_->setSeparator(true);

    statusItem_ = new QSystemTrayIcon(this);
    statusItem_->setObjectName("statusItem");
    buildStatusMenu();
    statusItem_->setContextMenu(statusMenu_);
    sharingStatusItem_->setEnabled(false);
    connect(stopSharingItem_, &QAction::triggered, this, &HostAppController::stopSharing);
    connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A click opens the menu, as a status item's does; a double click
        // the status window, as tray icons' do.
        if (reason == QSystemTrayIcon::Trigger && statusMenu_) statusMenu_->popup(QCursor::pos());
        if (reason == QSystemTrayIcon::DoubleClick) showWindow();
    });

    GroupFrameStyle::install();
    QApplication::setWindowIcon(SymbolImage::applicationIcon());
    applyIndicator(indicator_);
    installMainMenu();

    QPointer<HostAppController> weak(this);
    const auto token = root_.engine->addObserver([weak](const HostStatus& status) {
        if (weak) weak->statusChanged(status);
    });
    statusChanged(root_.engine->status());
    statusToken_ = token;
}

HostAppController::~HostAppController() {
    if (statusToken_) root_.engine->removeObserver(*statusToken_);
    for (QMenu* menu : mainMenus_) delete menu;
    delete statusMenu_;
    delete window_;
    delete pairingWindow_;
    delete settingsWindow_;
    delete aboutBox_;
    delete diagnosticsBox_;
    for (const QPointer<QWidget>& window : closing_) delete window.data();
}

QAction* HostAppController::addAction(QMenu* menu, const QString& title, void (HostAppController::*action)(),
                                      const QKeySequence& shortcut) {
    QAction* item = menu->addAction(title);
    item->setShortcut(shortcut);
    connect(item, &QAction::triggered, this, action);
    return item;
}

void HostAppController::buildStatusMenu() {
    statusMenu_ = new QMenu;
    statusMenu_->setObjectName("statusMenu");
    addAction(statusMenu_, QStringLiteral("Show Quillmere"), &HostAppController::showWindow);
    addAction(statusMenu_, QStringLiteral("Pair iPhone\u2026"), &HostAppController::showPairing);
    addAction(statusMenu_, QStringLiteral("Settings\u2026"), &HostAppController::showSettings,
              QKeySequence(Qt::CTRL | Qt::Key_Comma));
    addAction(statusMenu_, QStringLiteral("Refresh Permissions"), &HostAppController::refreshPermissions);
    if (updater_) {
        QAction* check = statusMenu_->addAction(QStringLiteral("Check for Updates\u2026"));
        connect(check, &QAction::triggered, updater_, &AppUpdater::checkForUpdates);
    }
    statusMenu_->addSeparator();
    addAction(statusMenu_, QStringLiteral("Quit Quillmere"), &HostAppController::quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
}

void HostAppController::installMainMenu() {
    auto* application = new QMenu(QStringLiteral("Quillmere"));
    QAction* about = application->addAction(QStringLiteral("About Quillmere"));
    about->setObjectName("aboutItem");
    connect(about, &QAction::triggered, this, &HostAppController::showAbout);
    if (updater_) {
        QAction* check = application->addAction(QStringLiteral("Check for Updates\u2026"));
        connect(check, &QAction::triggered, updater_, &AppUpdater::checkForUpdates);
    }
    application->addSeparator();
    addAction(application, QStringLiteral("Settings\u2026"), &HostAppController::showSettings,
              QKeySequence(Qt::CTRL | Qt::Key_Comma));
    application->addSeparator();
    QAction* hide = application->addAction(QStringLiteral("Hide Quillmere"));
    hide->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(hide, &QAction::triggered, this, &HostAppController::hideApplication);
    addAction(application, QStringLiteral("Quit Quillmere"), &HostAppController::quit, QKeySequence(Qt::CTRL | Qt::Key_Q));

    auto* file = new QMenu(QStringLiteral("File"));
    addAction(file, QStringLiteral("Pair iPhone\u2026"), &HostAppController::showPairing);
    QAction* close = file->addAction(QStringLiteral("Close Window"));
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(close, &QAction::triggered, this, [] {
        if (QWidget* active = QApplication::activeWindow()) active->close();
    });

    auto* sharing = new QMenu(QStringLiteral("Sharing"));
    addAction(sharing, QStringLiteral("Refresh Permissions"), &HostAppController::refreshPermissions);
    addAction(sharing, QStringLiteral("Allow Screen Recording\u2026"), &HostAppController::requestScreenRecording);
    addAction(sharing, QStringLiteral("Allow Accessibility\u2026"), &HostAppController::requestAccessibility);

    auto* windowMenu = new QMenu(QStringLiteral("Window"));
    addAction(windowMenu, QStringLiteral("Show Quillmere"), &HostAppController::showWindow);
    QAction* minimize = windowMenu->addAction(QStringLiteral("Minimize"));
    minimize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    connect(minimize, &QAction::triggered, this, [] {
        if (QWidget* active = QApplication::activeWindow()) active->showMinimized();
    });
    QAction* zoom = windowMenu->addAction(QStringLiteral("Zoom"));
    connect(zoom, &QAction::triggered, this, [] {
        if (QWidget* active = QApplication::activeWindow())
            active->isMaximized() ? active->showNormal() : active->showMaximized();
    });
    mainMenus_ = {application, file, sharing, windowMenu};
}

void HostAppController::statusChanged(const HostStatus& status) {
    const int count = status.phase == HostStatus::Phase::running ? status.activeSessionCount : 0;
    const SharingIndicator next = SharingIndicator::fromActiveSessionCount(count);
    if (!(next == indicator_)) applyIndicator(next);
}

void HostAppController::applyIndicator(const SharingIndicator& indicator) {
    indicator_ = indicator;
    statusItem_->setIcon(SymbolImage::icon(indicator.symbolName(), indicator.isLive() ? sharingRed : idleColor()));
    statusItem_->setToolTip(text(indicator.toolTip()));
    // A tray icon is no widget: its menu carries the accessible name.
    statusMenu_->setAccessibleName(text(indicator.accessibilityDescription()));
    const auto& title = indicator.menuStatusTitle();
    if (title) {
        sharingStatusItem_->setText(text(*title));
        if (!statusMenu_->actions().contains(sharingStatusItem_)) {
            QAction* first = statusMenu_->actions().value(0);
            statusMenu_->insertActions(first, {sharingStatusItem_, stopSharingItem_, sharingSeparator_});
        }
    } else {
        for (QAction* item : {sharingStatusItem_, stopSharingItem_, sharingSeparator_}) {
            if (statusMenu_->actions().contains(item)) statusMenu_->removeAction(item);
        }
    }
}

void HostAppController::start() {
    QPointer<HostAppController> weak(this);
    // A prompt comes forward without the keyboard: the user may be typing
    // elsewhere, or a phone typing for them.
    root_.consent->onPresent = [weak] {
        if (weak) WindowAttention::ask(*weak->statusWindow());
    };
    // A run that ended without putting the display back leaves it changed.
    root_.textSize->heal();
    root_.virtualDisplays->removeLeftovers();
    root_.engine->start();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        log_.notice("no system tray: the status window is the host's only window");
    statusItem_->show();
    // The panel's colour can be read once the tray took the icon in.
    QTimer::singleShot(1000, this, [weak] {
        if (weak && !weak->indicator_.isLive()) weak->applyIndicator(weak->indicator_);
    });
    showWindow();
}

QColor HostAppController::idleColor() const {
    QColor panel = QGuiApplication::palette().color(QPalette::Window);
    const QRect at = statusItem_->geometry();
    if (QScreen* screen = at.isValid() ? QGuiApplication::screenAt(at.center()) : nullptr) {
        // The icon's top left pixel: the glyph never reaches it, the panel shows through.
        const QPoint corner = at.topLeft() - screen->geometry().topLeft();
        const QImage pixel = screen->grabWindow(0, corner.x(), corner.y(), 1, 1).toImage();
        if (!pixel.isNull()) panel = pixel.pixelColor(0, 0);
    }
    return panel.lightnessF() > 0.5 ? onLightPanel : onDarkPanel;
}

void HostAppController::showAbout() {
    if (!aboutBox_) {
        aboutBox_ = new AboutBox(BundleInfo::main());
        aboutBox_->setAttribute(Qt::WA_DeleteOnClose);
        // The menu's shortcuts without a menu bar, which a small box has not.
        for (QMenu* menu : mainMenus_) aboutBox_->addActions(menu->actions());
        ViewStyle::keepOnScreenAlways(aboutBox_);
    }
    unhide();
    bringForward(aboutBox_);
}

void HostAppController::attachMenus(QWidget* window) {
    // The application's menu, so that its shortcuts work in this window too.
    auto* bar = new QMenuBar(window);
    for (QMenu* menu : mainMenus_) bar->addMenu(menu);
    if (QLayout* layout = window->layout()) layout->setMenuBar(bar);
}

QWidget* HostAppController::makeWindow(QWidget* content, const QString& title, QSize minimum) {
    auto* window = new QWidget;
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);
    attachMenus(window);
    window->setWindowTitle(title);
    const QSize bar = layout->menuBar() ? QSize(0, layout->menuBar()->sizeHint().height()) : QSize();
    const QSize room = ViewStyle::room(*window);
    window->setMinimumSize((minimum + bar).boundedTo(room));
    window->resize((content->sizeHint() + bar).expandedTo(minimum + bar).boundedTo(room));
    centre(window);
    ViewStyle::keepOnScreenAlways(window);
    return window;
}

void HostAppController::centre(QWidget* window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window->move(screen->availableGeometry().center() - window->rect().center());
    ViewStyle::keepOnScreen(window);
}

void HostAppController::bringForward(QWidget* window) {
    // A minimized window is still "shown" to Qt: show() alone leaves it
    // iconic. Restored, it keeps being maximized if it was.
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void HostAppController::hideApplication() {
    for (QWidget* window : {static_cast<QWidget*>(window_.data()), pairingWindow_.data(), settingsWindow_.data(),
                            aboutBox_.data(), diagnosticsBox_.data()}) {
        if (!window || !window->isVisible()) continue;
        // Its boxes too (a removal's confirmation): Qt leaves windows of a
        // hidden window shown.
        for (QWidget* box : window->findChildren<QWidget*>()) {
            if (!box->isWindow() || !box->isVisible()) continue;
            hidden_.emplace_back(box);
            box->hide();
        }
        hidden_.emplace_back(window);
        window->hide();
    }
}

void HostAppController::unhide() {
    // A window before its boxes, which belong over it.
    for (auto at = hidden_.rbegin(); at != hidden_.rend(); ++at)
        if (*at) (*at)->show();
    hidden_.clear();
}

void HostAppController::showWindow() {
    unhide();
    bringForward(statusWindow());
}

QMainWindow* HostAppController::statusWindow() {
    if (!window_) {
        auto* window = new QMainWindow;
        window->setObjectName("statusWindow");
        QPointer<HostAppController> weak(this);
        StatusView::Actions actions{
            [weak] {
                if (weak) weak->quit();
            },
            [weak] {
                if (weak) weak->showPairing();
            },
            [weak] {
                if (weak) weak->showSettings();
            },
            [weak] {
                if (weak) weak->requestScreenRecording();
            },
            [weak] {
                if (weak) weak->requestAccessibility();
            },
        };
        auto* view = new StatusView(*root_.model, root_.consent, std::move(actions), window);
        window->setCentralWidget(view);
        QToolBar* toolBar = view->makeToolBar(window);
        window->addToolBar(toolBar);
        for (QMenu* menu : mainMenus_) window->menuBar()->addMenu(menu);
        window->setWindowTitle(QStringLiteral("Quillmere"));
        // The content's minimum: the menu bar and the toolbar come on top,
        // or they would hide the end of the page.
        const int bars = window->menuBar()->sizeHint().height() + toolBar->sizeHint().height();
        window->setMinimumSize(view->minimumSize().grownBy({0, 0, 0, bars}).boundedTo(ViewStyle::room(*window)));
        window->resize(560, 620);
        centre(window);
        ViewStyle::keepOnScreenAlways(window);
        window_ = window;
    }
    return window_;
}

void HostAppController::showPairing() {
    if (!pairingWindow_) {
        auto* content = new PairingView(root_.pairing, EnrollmentService::wallClockSeconds);
        pairingWindow_ = makeWindow(content, QStringLiteral("Pair iPhone"), QSize(420, 460));
        pairingWindow_->setObjectName("pairingWindow");
        pairingWindow_->installEventFilter(this);
    }
    if (std::holds_alternative<EnrollmentState::Idle>(root_.pairing->state()))
        root_.pairing->start(pairingLifetimeSeconds);
    unhide();
    bringForward(pairingWindow_);
}

void HostAppController::showSettings() {
    if (!settingsWindow_) {
        HostStatusModel& model = *root_.model;
        HostSettingsView::Model bound{
            model.engine(),
            [&model](bool on) { model.setAutoApprove(on); },
            [&model](bool on) { model.setOpenAtLogin(on); },
            [&model](bool on) { model.setTestPatternEnabled(on); },
            [&model](std::string_view title, std::string_view key, bool on) { model.setSwitch(title, key, on); },
            [&model] { return model.loginItem().enabled && model.loginItem().enabled(); },
            [&model] { return model.loginItemProblem(); },
            [&model] { return model.settingsProblem(); },
            [&model](std::string_view key) { return model.savingValue(key); },
        };
        QPointer<HostAppController> weak(this);
        auto* content = new HostSettingsView(
            std::move(bound), root_.defaults(),
            [weak] {
                if (weak) weak->showPairing();
            },
            [weak] {
                if (weak) weak->exportDiagnostics();
            });
        // Saves end after the click: the switch and the problem line follow.
        connect(&model, &HostStatusModel::revisionChanged, content, &HostSettingsView::refresh);
        settingsWindow_ = makeWindow(content, QStringLiteral("Quillmere Settings"),
                                     QSize(HostSettingsView::width, HostSettingsView::height));
        settingsWindow_->setObjectName("settingsWindow");
    }
    unhide();
    bringForward(settingsWindow_);
}

bool HostAppController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == pairingWindow_ && event->type() == QEvent::Close) root_.pairing->dismiss();
    return QObject::eventFilter(watched, event);
}

void HostAppController::refreshPermissions() {
    if (auto engine = root_.model->engine().lock()) engine->refreshPermissions();
}

void HostAppController::requestScreenRecording() {
    // X11 has no screen-recording request to show: reading again is all.
    refreshPermissions();
}

void HostAppController::requestAccessibility() {
    if (root_.model->engine().expired()) return;
    root_.permissions->promptForAccessibility();
    refreshPermissions();
}

void HostAppController::stopSharing() { root_.transport->stopSharing(ByeReason::normal); }

void HostAppController::exportDiagnostics() {
    const auto& folder = root_.platform.diagnostics;
    if (!folder) return;
    std::error_code ignored;
    std::filesystem::create_directories(*folder, ignored);
    const bool opened = openFolder ? openFolder(*folder)
                                   : QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder->string())));
    if (opened) return;
    log_.notice("no program opened the diagnostics folder %{public}s", folder->string());
    showDiagnosticsFolder(*folder);
}

void HostAppController::showDiagnosticsFolder(const std::filesystem::path& folder) {
    if (!diagnosticsBox_) {
        auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Diagnostics"),
                                    QStringLiteral("The diagnostics are in this folder:\n") +
                                        QString::fromStdString(folder.string()),
                                    QMessageBox::Ok, settingsWindow_);
        box->setObjectName("diagnosticsBox");
        box->setTextFormat(Qt::PlainText);
        // The path, to copy into a terminal or another file manager.
        box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        box->setInformativeText(QStringLiteral("No file manager could open it."));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        diagnosticsBox_ = box;
    }
    bringForward(diagnosticsBox_);
}

void HostAppController::quit() {
    if (terminate_) terminate_();
}

void HostAppController::tearDown(std::function<void()> done) {
    if (tornDown_) {
        if (done) done();
        return;
    }
    tornDown_ = true;
    if (statusToken_) root_.engine->removeObserver(*statusToken_);
    statusToken_.reset();
    root_.pairing->dismiss();
    const auto pending = root_.consent->pending();
    for (const auto& request : pending) root_.consent->resolve(request.id, false);
    root_.textSize->setLevel(0);
    QPointer<HostAppController> weak(this);
    root_.engine->stop([weak, done = std::move(done)]() mutable {
        if (!weak) {
            if (done) done();
            return;
        }
        weak->finishTearDown(weak->root_.platform.main->nowNs(), std::move(done));
    });
}

void HostAppController::finishTearDown(std::uint64_t stoppedNs, std::function<void()> done) {
    // The transport stops at once; its connections still owe their peers a bye.
    const auto& transport = *root_.transport;
    Executor& main = *root_.platform.main;
    const std::uint64_t now = main.nowNs();
    const bool closing = transport.connectionCount() + transport.closingCount() > 0 && now < stoppedNs + closeWaitNs;
    // A phone approved is told how its save came out: it would otherwise
    // believe itself unpaired where the host trusts it.
    const bool saving =
        std::holds_alternative<EnrollmentState::Saving>(root_.pairing->state()) && now < stoppedNs + saveWaitNs;
    if (closing || saving) {
        QPointer<HostAppController> weak(this);
        main.asyncAfter(10'000'000, [weak, stoppedNs, done = std::move(done)]() mutable {
            if (weak) weak->finishTearDown(stoppedNs, std::move(done));
            else if (done) done();
        });
        return;
    }
    for (QWidget* box : {aboutBox_.data(), diagnosticsBox_.data()})
        if (box) box->close();
    for (QPointer<QWidget> window : {settingsWindow_, pairingWindow_, QPointer<QWidget>(window_.data())}) {
        if (!window) continue;
        window->removeEventFilter(this);
        window->close();
        window->deleteLater();
        closing_.push_back(window);
    }
    settingsWindow_ = nullptr;
    pairingWindow_ = nullptr;
    window_ = nullptr;
    statusItem_->hide();
    if (done) done();
}

} // namespace quillmere
