#include "Platform/SystemInfo/ProcessMemory.h"

#include <malloc.h>

namespace quillmere {

void ProcessMemory::limitArenas(int count) { ::mallopt(M_ARENA_MAX, count); }

void ProcessMemory::mapBlocksFrom(std::size_t bytes) { ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(bytes)); }

void ProcessMemory::releaseFreed() { ::malloc_trim(0); }

void ProcessMemory::configureForHost() {
    limitArenas(hostArenas);
    mapBlocksFrom(hostMappedBlockBytes);
}

} // namespace quillmere
