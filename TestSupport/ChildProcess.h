#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillmere::testing {

// A helper program a test starts (a bus, a display server, a daemon, the
// program under test): it dies with the test process, and is stopped when
// its owner goes.
class ChildProcess {
public:
    struct Options {
        // The whole environment; this process's own when empty.
        std::vector<std::string> environment{};
        // A descriptor the program inherits (others are close-on-exec).
        int keepFd = -1;
        // Where standard output goes, and standard error too unless errors
        // names a file of its own; thrown away when empty.
        std::filesystem::path output{};
        std::filesystem::path errors{};
    };

    ChildProcess() = default;
    // Runs arguments[0] (a path, or a name looked up in PATH); failed
    // exec shows as exit status 127.
    explicit ChildProcess(const std::vector<std::string>& arguments, const Options& options);
    explicit ChildProcess(const std::vector<std::string>& arguments) : ChildProcess(arguments, Options{}) {}
    // Runs body in a copy of this process; what it returns is the exit
    // status. Only what is safe after fork in a threaded program belongs in it.
    static ChildProcess fork(const std::function<int()>& body);
    // A program holding file's flock until it ends, as a host stopped in a
    // debugger would: the lock is taken here and handed to it.
    static ChildProcess holdingLock(const std::filesystem::path& file);
    ~ChildProcess() { stop(); }

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // What it wrote to the files of its options so far.
    std::string output() const;
    std::string errors() const;

    void signal(int number) const;
    // The exit status once it ended within the limit (128 + the number for
    // a signal); none while it still runs.
    std::optional<int> wait(std::chrono::milliseconds limit);
    // Waits however long it takes.
    int wait();
    // SIGKILL at once, as a crash would end it; the status is kept.
    void kill();
    // SIGTERM, then SIGKILL when it has not gone within two seconds.
    void stop();

private:
    bool reap(int flags);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
    std::filesystem::path errors_;
};

// Moves the calling process into new namespaces (flags: CLONE_NEWNET,
// CLONE_NEWNS) whoever runs the tests: without root, into a user namespace
// of its own too, keeping its ids. For a child after fork. False with errno
// set: EINVAL when another thread runs (ThreadSanitizer's, after fork).
bool enterPrivateNamespaces(int flags);
// Into a user namespace (and those of flags) that maps only this process's
// ids, as a rootless container does: every other owner, root included,
// reads as the overflow id. For a child after fork.
bool enterOwnUserNamespace(int flags = 0);

// This process's environment with one variable set (or replaced).
std::vector<std::string> environmentWith(const std::string& name, const std::string& value);
// This process's environment with the variables set, and those named in
// without left out.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& variables,
                                         const std::vector<std::string>& without = {});

} // namespace quillmere::testing
