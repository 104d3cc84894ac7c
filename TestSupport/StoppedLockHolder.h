#pragma once

#include "TestSupport/ChildProcess.h"

#include <filesystem>

namespace quillmere::testing {

// Another process that takes a file's flock and is then stopped, as a host
// under a debugger or SIGSTOP would be: it holds the lock until it is
// killed, with this object at the latest.
class StoppedLockHolder {
public:
    // Returns once the lock is held and the holder stopped; throws when that
    // never comes.
    explicit StoppedLockHolder(const std::filesystem::path& file);
    ~StoppedLockHolder() { release(); }
    StoppedLockHolder(const StoppedLockHolder&) = delete;
    StoppedLockHolder& operator=(const StoppedLockHolder&) = delete;

    // Kills the holder: the lock goes with it.
    void release();

private:
    ChildProcess holder_;
};

} // namespace quillmere::testing
