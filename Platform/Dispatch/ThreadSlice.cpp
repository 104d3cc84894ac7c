#include "Platform/Dispatch/ThreadSlice.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere {
namespace {

// The kernel's layout; glibc 2.36 has no wrapper.
struct SchedAttr {
    std::uint32_t size = sizeof(SchedAttr);
    std::uint32_t policy = 0;
    std::uint64_t flags = 0;
    std::int32_t nice = 0;
    std::uint32_t priority = 0;
    std::uint64_t runtime = 0;
    std::uint64_t deadline = 0;
    std::uint64_t period = 0;
};

std::optional<SchedAttr> read() {
    SchedAttr attr;
    if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0) return std::nullopt;
    return attr;
}

} // namespace

bool ThreadSlice::request(std::uint64_t ns) {
    auto attr = read();
    // Real-time and deadline threads have no fair slice to ask for.
    if (!attr || (attr->policy != SCHED_OTHER && attr->policy != SCHED_BATCH)) return false;
    attr->size = sizeof(SchedAttr);
    attr->flags = 0;
    attr->runtime = ns;
    return syscall(SYS_sched_setattr, 0, &*attr, 0) == 0;
}

std::optional<std::uint64_t> ThreadSlice::current() {
    const auto attr = read();
    if (!attr || attr->runtime == 0 || (attr->policy != SCHED_OTHER && attr->policy != SCHED_BATCH)) return std::nullopt;
    return attr->runtime;
}

} // namespace quillmere
