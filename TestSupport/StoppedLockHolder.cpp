#include "TestSupport/StoppedLockHolder.h"

#include "QuillmereBase/FileDescriptor.h"
#include "TestSupport/Eventually.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quillmere::testing {

namespace {

bool stopped(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // "pid (name) state ...": the name may hold blanks, never a closing parenthesis last.
    const auto end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'T';
}

bool heldByAnother(const std::string& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid() && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

} // namespace

StoppedLockHolder::StoppedLockHolder(const std::filesystem::path& file) {
    const std::string name = file.string();
    holder_ = ChildProcess::fork([name] {
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 2;
        ::raise(SIGSTOP);
        return 0;
    });
    const pid_t pid = holder_.pid();
    if (!eventually([&] { return heldByAnother(name) && stopped(pid); }))
        throw std::runtime_error("no process came to hold " + name);
}

void StoppedLockHolder::release() {
    if (holder_.running()) holder_.kill();
}

} // namespace quillmere::testing
