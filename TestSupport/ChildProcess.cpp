#include "TestSupport/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace quillmere::testing {

namespace {

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const auto& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const Options& options) {
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(options.environment);
    char** environment = options.environment.empty() ? environ : envp.data();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) {
        pid_ = pid;
        return;
    }
    // Child: only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
    }
    if (options.keepFd >= 0) ::fcntl(options.keepFd, F_SETFD, 0);
    ::execvpe(argv[0], argv.data(), environment);
    ::_exit(127);
}

ChildProcess ChildProcess::adopt(pid_t pid) {
    ChildProcess child;
    child.pid_ = pid;
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pid_ = -1;
}

std::vector<std::string> environmentWith(const std::string& name, const std::string& value) {
    std::vector<std::string> environment;
    const std::string prefix = name + "=";
    for (char** entry = ::environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0) environment.emplace_back(*entry);
    }
    environment.push_back(prefix + value);
    return environment;
}

} // namespace quillmere::testing
