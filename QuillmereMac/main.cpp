#include "Platform/Dispatch/DispatchRuntime.h"
#include "Platform/Permissions/PermissionsX11.h"
#include "Platform/SystemInfo/ProcessMemory.h"
#include "QuillmereMac/App/AppDelegate.h"
#include "QuillmereMac/App/QuitSignals.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr const char* usage =
    "Usage: quillmere-host\n"
    "\n"
    "Shares this computer's windows and displays with paired phones: a tray icon\n"
    "with its menu, a status window, pairing by QR code. It runs until it is quit\n"
    "from its menu, or with SIGINT or SIGTERM, which end every session first.\n"
    "\n"
    "Environment:\n"
    "  DISPLAY                        the X display to share and to show windows on\n"
    "  QUILLMERE_MAC_KEYCHAIN_SCOPE   keep the identity and paired devices apart under\n"
    "                                 this name, advertise nothing, check for no update,\n"
    "                                 and delete them at quit (tests, demonstrations)\n"
    "  QUILLMERE_MAC_PAIRING_ADDRESS  with a scope: the address written into invitations\n"
    "  QUILLMERE_MAC_TEST_PATTERN     1: offer the test pattern as a window\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::puts("quillmere-host 1.0");
            return 0;
        }
    }
    // Before any thread starts: threads that come and go share arenas.
    quillmere::ProcessMemory::limitArenas(quillmere::ProcessMemory::hostArenas);
    // Every serial queue's threads, joined once all else has ended.
    quillmere::DispatchRuntime runtime;
    // Qt would abort without a word a user could act on.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if ((platform == nullptr || std::string_view(platform).starts_with("xcb")) &&
        !quillmere::PermissionsX11().displayOpens()) {
        std::fputs("quillmere-host: no X display to run on (set DISPLAY, or start a private one with scripts/run)\n",
                   stderr);
        return 1;
    }

    QApplication application(argc, argv);
    // A tray application: closing every window leaves it running.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    int status = 0;
    {
        quillmere::AppDelegate delegate(quillmere::AppDelegate::Options::standard());
        quillmere::QuitSignals quitSignals([&delegate] { delegate.requestQuit(); });
        QTimer::singleShot(0, &application, [&delegate] { delegate.launch(); });
        status = QApplication::exec();
    }
    // Widgets let go while the loop ran but not yet deleted.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
