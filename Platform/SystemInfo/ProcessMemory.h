#pragma once

namespace quillmere {

// The C library's allocator, as a long-running process wants it. Each
// thread that allocates gets an arena of its own by default, and an arena
// keeps what was freed in it: threads that come and go (the worker pool's,
// a connection's, an encoder's) leave memory behind round after round.
class ProcessMemory {
public:
    // Threads share this many arenas at most. Only before any thread
    // starts: glibc reads the bound as threads first allocate.
    static void limitArenas(int count);
    // Gives what was freed back to the system, from every arena; for when a
    // burst of work has ended, not for a hot path.
    static void releaseFreed();

    // Enough for a host's few busy threads, little contention.
    static constexpr int hostArenas = 2;
};

} // namespace quillmere
