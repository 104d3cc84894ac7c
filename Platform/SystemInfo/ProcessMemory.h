#pragma once

#include <cstddef>

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
    // Blocks of at least this many bytes get pages of their own, handed back
    // when freed. By default glibc raises this bound to the largest block
    // freed so far: after the first frame buffer, frames live in the arenas,
    // and sessions that overlap leave them fragmented and resident for good.
    static void mapBlocksFrom(std::size_t bytes);
    // Gives what was freed back to the system, from every arena; for when a
    // burst of work has ended, not for a hot path.
    static void releaseFreed();

    // Enough for a host's few busy threads, little contention.
    static constexpr int hostArenas = 2;
    // Frames, planes and encoder pictures; not the small blocks of a turn.
    static constexpr std::size_t hostMappedBlockBytes = 256 * 1024;
    // Both bounds, before any thread starts.
    static void configureForHost();
};

} // namespace quillmere
