#include "Platform/Dispatch/DispatchRuntime.h"
#include "Platform/Files/UserFolders.h"
#include "Platform/SystemInfo/ProcessMemory.h"
#include "Platform/X11/XcbOpening.h"
#include "QuillmereMac/App/AppDelegate.h"
#include "QuillmereMac/App/DesktopEnvironmentX11.h"
#include "QuillmereMac/App/QuitSignals.h"
#include "QuillmereMac/App/SingleInstance.h"
#include "QuillmereMac/Bundle/BundleInfo.h"
#include "QuillmereMac/Diagnostics/PerfLogFile.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr const char* usage =
    "Usage: quillmere-host [--help | --version]\n"
    "\n"
    "Shares this computer's windows and displays with paired phones: a tray icon\n"
    "with its menu, a status window, pairing by QR code. It runs until it is quit\n"
    "from its menu, or with SIGINT or SIGTERM, which end every session first.\n"
    "One host runs per user and display: a second start shows the running\n"
    "host's status window and ends.\n"
    "\n"
    "Environment:\n"
    "  DISPLAY                        the X display to share and to show windows on\n"
    "  QT_QPA_PLATFORM                the Qt platform: xcb (X11) when unset, even on a\n"
    "                                 Wayland desktop; offscreen draws the windows\n"
    "                                 without showing them (tests); no other\n"
    "  QUILLMERE_MAC_KEYCHAIN_SCOPE   keep the identity and paired devices apart under\n"
    "                                 this name, advertise nothing, check for no update,\n"
    "                                 and delete them at quit (tests, demonstrations)\n"
    "  QUILLMERE_MAC_PAIRING_ADDRESS  with a scope: the address written into invitations\n"
    "  QUILLMERE_MAC_TEST_PATTERN     1: offer the test pattern as a window\n";

// The Qt platforms the host runs on, options (after ':') aside.
bool runsOn(std::string_view platform) {
    const std::string_view name = platform.substr(0, platform.find(':'));
    return name == "xcb" || name == "offscreen";
}

} // namespace

int main(int argc, char** argv) {
    const quillmere::BundleInfo bundle = quillmere::BundleInfo::main();
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("quillmere-host %s\n", bundle.versionText().c_str());
            return 0;
        }
        std::fprintf(stderr, "quillmere-host: unknown option %s\n\n", argv[i]);
        std::fputs(usage, stderr);
        return 2;
    }
    // The keychain and the settings live in the account's own folders; with
    // no home there is nowhere private to keep them.
    if (auto home = quillmere::UserFolders::home(); !home) {
        std::fprintf(stderr, "quillmere-host: Quillmere could not start: %s\n", home.error().c_str());
        return 1;
    }
    // Before any thread starts: threads that come and go share arenas, and
    // frame-sized blocks go back to the system when freed.
    quillmere::ProcessMemory::configureForHost();
    // Under a file size limit (ulimit -f) the diagnostics log, which must
    // never stop the host, would otherwise have it killed by SIGXFSZ.
    quillmere::PerfLogFile::ignoreFileSizeSignal();
    // Every serial queue's threads, joined once all else has ended.
    quillmere::DispatchRuntime runtime;
    // Qt would abort on a platform it has no plugin for, without a word a
    // user could act on; one it has would leave the host nothing to share.
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    const bool platformChosen = chosen != nullptr && *chosen != '\0';
    if (platformChosen && !runsOn(chosen)) {
        std::fprintf(stderr,
                     "quillmere-host: cannot run on the Qt platform \"%s\": it shares X11 displays; unset "
                     "QT_QPA_PLATFORM or set it to xcb\n",
                     chosen);
        return 1;
    }
    // Whatever Qt draws on, the host shares the X display.
    const char* display = std::getenv("DISPLAY");
    if (!quillmere::DesktopEnvironmentX11::displayOpens()) {
        if (display != nullptr && *display != '\0')
            std::fprintf(stderr, "quillmere-host: cannot open display %s\n", display);
        else
            std::fputs("quillmere-host: no X display to run on (set DISPLAY, or start a private one with scripts/run)\n",
                       stderr);
        return 1;
    }

    // On a Wayland desktop Qt would pick Wayland. Asked for on Qt's command
    // line rather than in the environment, which the programs the host opens
    // (a file manager for the diagnostics) inherit.
    char platformOption[] = "-platform";
    char xcb[] = "xcb";
    std::vector<char*> qtArguments(argv, argv + argc);
    if (!platformChosen) qtArguments.insert(qtArguments.begin() + (argc > 0 ? 1 : 0), {platformOption, xcb});
    int qtArgumentCount = static_cast<int>(qtArguments.size());
    qtArguments.push_back(nullptr);
    // Qt opens its X connection as the application is made.
    std::optional<quillmere::XcbOpening> opening(std::in_place);
    QApplication application(qtArgumentCount, qtArguments.data());
    opening.reset();
    // A tray application: closing every window leaves it running.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationVersion(QString::fromStdString(bundle.version()));
    const std::string displayName = display != nullptr ? display : "";
    quillmere::SingleInstance instance(
        quillmere::SingleInstance::socketPath(quillmere::SingleInstance::runtimeFolder(), displayName));
    quillmere::AppDelegate* running = nullptr;
    switch (instance.claim([&running] {
        if (running != nullptr && running->controller() != nullptr) running->controller()->showWindow();
    })) {
    case quillmere::SingleInstance::Claim::ours:
        break;
    case quillmere::SingleInstance::Claim::runningElsewhere:
        std::printf("quillmere-host: already running on display %s; showed its status window\n", displayName.c_str());
        return 0;
    case quillmere::SingleInstance::Claim::failed:
        // Better two hosts than none.
        std::fprintf(stderr, "quillmere-host: %s\n", instance.failure().c_str());
        break;
    }
    int status = 0;
    {
        quillmere::AppDelegate delegate(quillmere::AppDelegate::Options::standard());
        running = &delegate;
        quillmere::QuitSignals quitSignals([&delegate] { delegate.requestQuit(); });
        QTimer::singleShot(0, &application, [&delegate] { delegate.launch(); });
        status = QApplication::exec();
        running = nullptr;
    }
    // Widgets let go while the loop ran but not yet deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
