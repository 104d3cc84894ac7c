#include "Platform/Log/JournalLogSink.h"
#include "Platform/Log/Logger.h"
#include "TestSupport/ChildProcess.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace quillmere {
namespace {

constexpr int skipped = 77;

bool has(const std::string& datagram, const std::string& field) {
    return datagram.find(field + "\n") != std::string::npos;
}

// The journal's path is fixed, so a child process gets its own /run in a
// private mount namespace and plays journald there.
int runAsJournal() {
    if (!testing::enterPrivateNamespaces(CLONE_NEWNS)) return skipped;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return skipped;
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return skipped;
    ::mkdir("/run/systemd", 0755);
    ::mkdir("/run/systemd/journal", 0755);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/run/systemd/journal/socket");
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return skipped;

    auto sink = makeSystemLogSink();
    if (dynamic_cast<JournalLogSink*>(sink.get()) == nullptr) return 10;
    const Logger logger("com.ornbeck.quillmere.mac", "transport", sink);
    logger.error("listener failed: %{public}s", "port taken");

    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return 11;
    const std::string datagram(buffer, static_cast<std::size_t>(n));
    if (!has(datagram, "MESSAGE=listener failed: port taken")) return 12;
    if (!has(datagram, "SUBSYSTEM=com.ornbeck.quillmere.mac")) return 13;
    if (!has(datagram, "CATEGORY=transport")) return 14;
    if (!has(datagram, "PRIORITY=3")) return 15;
    return 0;
}

TEST(JournalLogSink, SendsMessageSubsystemCategoryAndPriority) {
    const int status = testing::ChildProcess::fork(runAsJournal).wait();
    if (status == skipped) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(status, 0) << "see the return codes of runAsJournal";
}

} // namespace
} // namespace quillmere
