#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Power/LogindSignalWatcher.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/PrivateBus.h"
#include "TestSupport/SignalSender.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillmere {
namespace {

using Signal = LogindSignalWatcher::Signal;

struct Received {
    LockedBox<std::vector<Signal>> signals;

    LogindSignalWatcher::Handler handler() {
        return [this](Signal signal) { signals.withLock([&](auto& list) { list.push_back(signal); }); };
    }
    // Waits until count signals arrived.
    std::vector<Signal> await(std::size_t count) {
        testing::eventually([&] { return signals.get().size() >= count; });
        return signals.get();
    }
};

TEST(LogindSignalWatcher, SleepAndLockFromLogindArrive) {
    testing::PrivateBus bus;
    testing::SignalSender logind(bus.address(), true);
    SerialQueue queue("watcher");
    Received received;
    auto watcher = LogindSignalWatcher::start(queue, received.handler(), bus.address());
    ASSERT_TRUE(watcher) << watcher.error();
    EXPECT_EQ((*watcher)->sessionPath(), testing::SignalSender::session);

    logind.prepareForSleep(false); // waking up is no reason to say bye
    logind.lock("/org/freedesktop/login1/session/_32"); // someone else's screen
    logind.prepareForSleep(true);
    logind.lock();
    EXPECT_EQ(received.await(2), (std::vector<Signal>{Signal::willSleep, Signal::screenLocked}));
}

TEST(LogindSignalWatcher, WithoutAKnownSessionEveryLockCounts) {
    testing::PrivateBus bus;
    SerialQueue queue("watcher");
    Received received;
    // Nobody owns logind's name yet, so nobody can say which session is ours.
    auto watcher = LogindSignalWatcher::start(queue, received.handler(), bus.address());
    ASSERT_TRUE(watcher) << watcher.error();
    EXPECT_EQ((*watcher)->sessionPath(), "");
    testing::SignalSender logind(bus.address(), true);
    logind.lock("/org/freedesktop/login1/session/_32");
    EXPECT_EQ(received.await(1), std::vector<Signal>{Signal::screenLocked});
}

TEST(LogindSignalWatcher, SignalsFromAnyoneElseAreIgnored) {
    testing::PrivateBus bus;
    testing::SignalSender logind(bus.address(), true);
    testing::SignalSender impostor(bus.address(), false);
    SerialQueue queue("watcher");
    Received received;
    auto watcher = LogindSignalWatcher::start(queue, received.handler(), bus.address());
    ASSERT_TRUE(watcher) << watcher.error();

    // Each send is routed before the next: logind's last one is the
    // marker after which nothing else can come.
    impostor.prepareForSleep(true);
    impostor.lock();
    logind.lock();
    logind.prepareForSleep(true);
    EXPECT_EQ(received.await(2), (std::vector<Signal>{Signal::screenLocked, Signal::willSleep}));
}

TEST(LogindSignalWatcher, NothingArrivesOnceDestroyed) {
    testing::PrivateBus bus;
    testing::SignalSender logind(bus.address(), true);
    SerialQueue queue("watcher");
    Received received;
    auto watcher = LogindSignalWatcher::start(queue, received.handler(), bus.address());
    ASSERT_TRUE(watcher) << watcher.error();
    logind.prepareForSleep(true);
    ASSERT_EQ(received.await(1).size(), 1u);

    // A second watcher on the same queue shows when the signal came.
    Received witnessed;
    auto witness = LogindSignalWatcher::start(queue, witnessed.handler(), bus.address());
    ASSERT_TRUE(witness) << witness.error();
    watcher->reset();
    logind.prepareForSleep(true);
    ASSERT_EQ(witnessed.await(1).size(), 1u);
    queue.sync([] {});
    EXPECT_EQ(received.signals.get().size(), 1u);
}

TEST(LogindSignalWatcher, AnUnreachableBusIsReported) {
    SerialQueue queue("watcher");
    auto watcher = LogindSignalWatcher::start(queue, [](Signal) {}, "unix:path=/nonexistent/quillmere-bus");
    ASSERT_FALSE(watcher);
    EXPECT_FALSE(watcher.error().empty());
}

} // namespace
} // namespace quillmere
