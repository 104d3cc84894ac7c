#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/ThreadSlice.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace quillmere {
namespace {

std::optional<std::uint64_t> sliceOfNewThread() {
    std::optional<std::uint64_t> slice;
    std::thread([&] { slice = ThreadSlice::current(); }).join();
    return slice;
}

// The encoder's own threads are started by the library on the thread that
// opens it: the request must reach them, and the queues' threads must have it.
TEST(ThreadSlice, PassesToThreadsStartedLaterAndQueuesRunWithIt) {
    if (!sliceOfNewThread()) GTEST_SKIP() << "this kernel does not tell a thread's slice";

    struct Case {
        const char* where;
        std::optional<std::uint64_t> slice;
    };
    std::optional<std::uint64_t> requested;
    std::optional<std::uint64_t> inherited;
    std::thread([&] {
        if (!ThreadSlice::request(700'000)) return;
        requested = ThreadSlice::current();
        inherited = sliceOfNewThread();
    }).join();
    if (!requested) GTEST_SKIP() << "this kernel takes no slice request";

    std::optional<std::uint64_t> onQueue;
    SerialQueue queue("test.slice");
    queue.sync([&] { onQueue = ThreadSlice::current(); });

    const Case cases[] = {
        {"the requesting thread", requested},
        {"a thread it started", inherited},
    };
    for (const Case& c : cases) EXPECT_EQ(c.slice, std::optional<std::uint64_t>(700'000)) << c.where;
    EXPECT_EQ(onQueue, std::optional<std::uint64_t>(ThreadSlice::mediaNs));
}

} // namespace
} // namespace quillmere
