#include "QuillmereMac/App/AppDelegate.h"
#include "QuillmereMac/App/QuitSignals.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
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
