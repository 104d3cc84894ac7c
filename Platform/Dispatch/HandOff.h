#pragma once

// Work that passes between threads through a library built without
// ThreadSanitizer (Qt, which orders its queues with futexes and atomics of its
// own) passes unseen by it: these marks stand in for the library's ordering.
// What a thread did before release(key) happens, as far as the checker is
// concerned, before what another thread does after a later acquire(key).
// Outside a ThreadSanitizer build they are nothing.

#if defined(QUILLMERE_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace quillmere {

struct HandOff {
#if defined(QUILLMERE_TSAN)
    static void release(const void* key) noexcept { __tsan_release(const_cast<void*>(key)); }
    static void acquire(const void* key) noexcept { __tsan_acquire(const_cast<void*>(key)); }
#else
    static void release(const void*) noexcept {}
    static void acquire(const void*) noexcept {}
#endif
};

} // namespace quillmere
