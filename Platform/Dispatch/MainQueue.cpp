#include "Platform/Dispatch/MainQueue.h"

#include "Platform/Dispatch/Clock.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <future>

namespace quillmere {

MainQueue& MainQueue::shared() {
    static MainQueue queue;
    return queue;
}

const std::string& MainQueue::label() const {
    static const std::string name = "main";
    return name;
}

void MainQueue::async(Work work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void MainQueue::asyncAfter(std::uint64_t delayNs, Work work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Qt timers count whole milliseconds; round up so work never runs early.
    const auto delay = std::chrono::milliseconds((delayNs + 999'999) / 1'000'000);
    // QTimer must be started from a thread with an event loop: hop first.
    QMetaObject::invokeMethod(
        app,
        [delay, work = std::move(work)]() mutable {
            QTimer::singleShot(delay, Qt::PreciseTimer, QCoreApplication::instance(), std::move(work));
        },
        Qt::QueuedConnection);
}

void MainQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

bool MainQueue::isCurrent() const {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::uint64_t MainQueue::nowNs() const { return Clock::nowNs(); }

} // namespace quillmere
