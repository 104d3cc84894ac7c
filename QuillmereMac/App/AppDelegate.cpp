#include "QuillmereMac/App/AppDelegate.h"

#include "Platform/Dispatch/MainQueue.h"
#include "QuillmereMac/App/DesktopEnvironmentX11.h"
#include "QuillmereMac/App/HostNaming.h"

#include <QApplication>
#include <QCursor>
#include <QGridLayout>
#include <QMessageBox>
#include <QScreen>

#include <fmt/format.h>

#include <cctype>

namespace quillmere {

namespace {

// Centred on the screen under the pointer once its size is known, before it
// is mapped. Qt places a box without a parent from a guess of its size and
// frame, and the window manager keeps that spot as the user's choice.
class CentredMessageBox final : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (screen == nullptr) screen = QGuiApplication::primaryScreen();
        if (screen == nullptr) return;
        QRect area = screen->availableGeometry();
        if (area.width() < width() || area.height() < height()) area = screen->geometry();
        move(area.center() - rect().center());
    }
};

} // namespace

AppDelegate::Options AppDelegate::Options::standard() {
    Options options;
    options.environment = RootNames::processEnvironment();
    options.platform.main = &MainQueue::shared();
    options.platform.defaults = &Defaults::standard();
    options.platform.loginItem = LoginItem::standard(LoginItem::runningProgram());
    options.platform.diagnostics = HostPerfLog::directory();
    const auto hostName = HostNaming::hostName();
    options.hostName = HostNaming::localizedName(HostNaming::prettyName("/etc/machine-info"), hostName);
    options.mdnsHostName = HostNaming::mdnsHostName(hostName);
    options.alert = [](const std::string& message, const std::string& detail) {
        CentredMessageBox box(QMessageBox::Critical, QString::fromStdString(message), QString::fromStdString(message));
        box.setInformativeText(QString::fromStdString(detail));
        // Wide enough for its title and for a long path to wrap in few lines.
        if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
            grid->addItem(new QSpacerItem(480, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                          grid->columnCount());
        box.exec();
    };
    options.exit = [](int status) { QCoreApplication::exit(status); };
    return options;
}

AppDelegate::AppDelegate(Options options) : options_(std::move(options)) {}

AppDelegate::~AppDelegate() {
    // The controller refers to the root: it goes first.
    controller_.reset();
    updater_.reset();
    root_.reset();
}

void AppDelegate::launch() {
    const RootNames names = RootNames::from(options_.environment, options_.hostName, options_.mdnsHostName);
    const auto trace = options_.platform.trace;
    // Before the first window: Qt would crash drawing it on a palette.
    if (const auto colours = DesktopEnvironmentX11::colourProblem(options_.platform.displayName))
        return failToStart(colours->sentence, colours->alertShows);
    if (options_.platform.defaults == nullptr) options_.platform.defaults = &Defaults::standard();
    // Told before anything reads a setting; the status window says it again.
    if (const auto& unread = options_.platform.defaults->unread()) {
        if (unread->kind == DefaultsFileProblem::Kind::refused) {
            const bool file = unread->path == options_.platform.defaults->file();
            std::error_code error;
            const bool link = std::filesystem::is_symlink(std::filesystem::symlink_status(unread->path, error));
            return failToStart(std::string("the settings ") + (file ? "file " : "folder ") + unread->description() +
                               (link ? "; settings are used only from a folder of this account's own, not through a link."
                                     : "; settings that another account could change are never used."));
        }
        std::fprintf(stderr, "quillmere-host: %s\n", HostStatusModel::settingsFileText(*unread).c_str());
    }
    auto root = CompositionRoot::make(names, options_.platform);
    if (!root) return failToStart(root.error().description());
    root_ = std::move(*root);

    if (trace) trace("updater");
    updater_ = AppUpdater::fromSettings(root_->defaults(), options_.version);
    if (updater_ && !names.scope) updater_->startUpdater();

    if (trace) trace("controller");
    controller_ = std::make_unique<HostAppController>(*root_, updater_.get(), [this] { requestQuit(); });
    if (names.scope) {
        scopedCleanup_ = [keychain = options_.platform.keychain, scope = *names.scope] {
            CompositionRoot::removeScopedItems(keychain, scope);
        };
    }
    root_->transport->setOnListening([](std::uint16_t port) {
        fmt::print("quillmere-host: listening for sessions on UDP port {}\n", port);
        std::fflush(stdout);
    });
    if (trace) trace("controller start");
    controller_->start();
    if (trace) trace("diagnostics");
    root_->perfLog().start();
}

void AppDelegate::failToStart(const std::string& detail, bool alert) {
    // Whichever part of the host said it, it is told as a whole sentence.
    std::string sentence = detail;
    if (!sentence.empty() && sentence.back() != '.') sentence += '.';
    std::fprintf(stderr, "quillmere-host: Quillmere could not start: %s\n", sentence.c_str());
    exitStatus_ = 1;
    // On its own under the title, the detail starts a sentence.
    if (!sentence.empty()) sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
    if (alert && options_.alert) options_.alert("Quillmere could not start", sentence);
    requestQuit();
}

AppDelegate::TerminateReply AppDelegate::shouldTerminate() {
    if (!controller_ || controller_->tornDown()) return TerminateReply::now;
    controller_->tearDown([this] {
        if (options_.platform.trace) options_.platform.trace("torn down");
        if (scopedCleanup_) scopedCleanup_();
        if (options_.platform.trace) options_.platform.trace("scoped cleanup");
        // A setting still on its way reaches the file before the exit, each
        // within its bound on the wait for another program's lock.
        options_.platform.defaults->afterWrites([main = options_.platform.main, exit = options_.exit] {
            main->async([exit] {
                if (exit) exit(0);
            });
        });
    });
    return TerminateReply::later;
}

void AppDelegate::requestQuit() {
    if (shouldTerminate() == TerminateReply::now && options_.exit) options_.exit(exitStatus_);
}

} // namespace quillmere
