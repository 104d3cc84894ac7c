#include "TestSupport/PrivateNamespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillmere::testing {

namespace {

// Writes the whole text to a file of /proc; errno tells why not.
bool writeWhole(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const auto length = static_cast<ssize_t>(std::strlen(text));
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    const int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

// "<id> <id> 1\n": the one id the namespace maps, to itself. No printf
// after fork.
void mapOfOwn(unsigned id, char (&line)[48]) {
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id != 0);
    char* out = line;
    for (int twice = 0; twice < 2; ++twice) {
        for (int i = count - 1; i >= 0; --i) *out++ = digits[i];
        *out++ = ' ';
    }
    *out++ = '1';
    *out++ = '\n';
    *out = '\0';
}

} // namespace

int enterPrivateNamespaces(int flags) {
    if (::unshare(flags) == 0) return 0;
    if (errno != EPERM) return errno;
    const uid_t user = ::geteuid();
    const gid_t group = ::getegid();
    if (::unshare(flags | CLONE_NEWUSER) != 0) return errno;
    // Until mapped the ids read as the overflow id, and files made then
    // would belong to nobody.
    char line[48];
    mapOfOwn(user, line);
    if (!writeWhole("/proc/self/uid_map", line)) return errno;
    // An unprivileged map of the group needs setgroups given up first.
    if (!writeWhole("/proc/self/setgroups", "deny")) return errno;
    mapOfOwn(group, line);
    if (!writeWhole("/proc/self/gid_map", line)) return errno;
    return 0;
}

} // namespace quillmere::testing
