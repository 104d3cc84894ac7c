#include "Platform/SystemInfo/ProcessMemory.h"

#include <malloc.h>

namespace quillmere {

void ProcessMemory::limitArenas(int count) { ::mallopt(M_ARENA_MAX, count); }

void ProcessMemory::releaseFreed() { ::malloc_trim(0); }

} // namespace quillmere
