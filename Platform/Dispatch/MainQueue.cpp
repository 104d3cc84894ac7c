#include "Platform/Dispatch/MainQueue.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/HandOff.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <future>

namespace quillmere {

namespace {

// What Qt runs on the main thread. Qt copies it in on the sender's thread,
// runs it on the main thread and frees it on whichever thread lets go last,
// ordering that with locks of its own which ThreadSanitizer cannot see: the
// copy marks each step under its own address. done, when given, is marked
// once the work ran, for a sender that waits.
template <class Body>
struct Carried {
    Body body;
    const void* done;

    Carried(Body work, const void* doneKey) : body(std::move(work)), done(doneKey) { HandOff::release(this); }
    Carried(Carried&& other) : body(std::move(other.body)), done(other.done) { HandOff::release(this); }
    Carried(const Carried& other) : body(other.body), done(other.done) { HandOff::release(this); }
    ~Carried() { HandOff::acquire(this); }

    void operator()() {
        HandOff::acquire(this);
        body();
        if (done) HandOff::release(done);
        HandOff::release(this);
    }
};

} // namespace

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
    QMetaObject::invokeMethod(app, Carried(std::move(work), nullptr), Qt::QueuedConnection);
}

void MainQueue::asyncAfter(std::uint64_t delayNs, Work work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // Qt timers count whole milliseconds; round up so work never runs early.
    const auto delay = std::chrono::milliseconds((delayNs + 999'999) / 1'000'000);
    // QTimer must be started from a thread with an event loop: hop first.
    QMetaObject::invokeMethod(
        app,
        Carried(
            [delay, work = std::move(work)]() mutable {
                QTimer::singleShot(delay, Qt::PreciseTimer, QCoreApplication::instance(), std::move(work));
            },
            nullptr),
        Qt::QueuedConnection);
}

void MainQueue::sync(const Work& work) {
    if (isCurrent()) {
        work();
        return;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, Carried([&work] { work(); }, &work), Qt::BlockingQueuedConnection);
    HandOff::acquire(&work);
}

bool MainQueue::isCurrent() const {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::uint64_t MainQueue::nowNs() const { return Clock::nowNs(); }

} // namespace quillmere
