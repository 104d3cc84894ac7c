#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillmere::testing {

// A helper program a test starts (a bus, a display server, a daemon): it
// dies with the test process, and is stopped when its owner goes.
class ChildProcess {
public:
    struct Options {
        // The whole environment; this process's own when empty.
        std::vector<std::string> environment;
        // A descriptor the program inherits (others are close-on-exec).
        int keepFd = -1;
    };

    ChildProcess() = default;
    // Runs arguments[0] (a path, or a name looked up in PATH) with its
    // output thrown away; failed() tells whether it could not be started.
    explicit ChildProcess(const std::vector<std::string>& arguments, const Options& options);
    explicit ChildProcess(const std::vector<std::string>& arguments) : ChildProcess(arguments, Options{}) {}
    // Takes over a process the caller forked itself.
    static ChildProcess adopt(pid_t pid);
    ~ChildProcess() { stop(); }

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // SIGTERM, then SIGKILL when it has not gone within two seconds.
    void stop();

private:
    pid_t pid_ = -1;
};

// This process's environment with one variable set (or replaced).
std::vector<std::string> environmentWith(const std::string& name, const std::string& value);

} // namespace quillmere::testing
