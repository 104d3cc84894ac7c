#include "TestSupport/ChildProcess.h"

#include "QuillmereBase/FileDescriptor.h"
#include "TestSupport/Eventually.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
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

// Child side of fork: the child dies with its parent. False when the parent
// is already gone.
bool tiedToParent(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    return ::getppid() == parent;
}

bool writeWhole(const char* file, const char* text, std::size_t length) {
    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text, length) == static_cast<ssize_t>(length);
    if (fd >= 0) ::close(fd);
    return written;
}

// "<id> <id> 1": the one id, kept as it is; no printf after fork.
bool mapOwn(const char* file, unsigned id) {
    char line[32];
    char* end = std::to_chars(line, line + 10, id).ptr;
    *end++ = ' ';
    end = std::to_chars(end, end + 10, id).ptr;
    std::memcpy(end, " 1", 2);
    return writeWhole(file, line, static_cast<std::size_t>(end + 2 - line));
}

int openForWriting(const std::filesystem::path& path) {
    if (path.empty()) return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

std::string readAll(const std::filesystem::path& path) {
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const Options& options) {
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(options.environment);
    // Opened before the child starts: it may only make system calls.
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = openForWriting(options.output);
    const int err = options.errors.empty() ? out : openForWriting(options.errors);
    const pid_t parent = ::getpid();
    // vfork, as posix_spawn does: no copy of a large test process whose
    // threads would then stall on copy-on-write faults.
    const pid_t pid = ::vfork();
    if (pid == 0) {
        if (!tiedToParent(parent)) ::_exit(127);
        if (in >= 0) ::dup2(in, STDIN_FILENO);
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        if (options.keepFd >= 0) ::fcntl(options.keepFd, F_SETFD, 0);
        ::execvpe(argv[0], argv.data(), options.environment.empty() ? environ : envp.data());
        ::_exit(127);
    }
    for (const int fd : {in, out})
        if (fd >= 0) ::close(fd);
    if (err >= 0 && err != out) ::close(err);
    pid_ = pid;
    output_ = options.output;
    errors_ = options.errors.empty() ? options.output : options.errors;
}

ChildProcess ChildProcess::fork(const std::function<int()>& body) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(tiedToParent(parent) ? body() : 127);
    ChildProcess child;
    child.pid_ = pid;
    return child;
}

ChildProcess ChildProcess::holdingLock(const std::filesystem::path& file) {
    const FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        throw std::runtime_error("cannot lock " + file.string());
    return ChildProcess({"sleep", "infinity"}, {.keepFd = fd.get()});
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)),
      output_(std::move(other.output_)), errors_(std::move(other.errors_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
        output_ = std::move(other.output_);
        errors_ = std::move(other.errors_);
    }
    return *this;
}

std::string ChildProcess::output() const { return readAll(output_); }

std::string ChildProcess::errors() const { return readAll(errors_); }

bool ChildProcess::reap(int flags) {
    if (pid_ <= 0) return true;
    int raw = 0;
    if (::waitpid(pid_, &raw, flags) != pid_) return false;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    pid_ = -1;
    return true;
}

void ChildProcess::signal(int number) const {
    if (pid_ > 0) ::kill(pid_, number);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
    eventually([&] { return reap(WNOHANG); }, limit);
    return status_;
}

int ChildProcess::wait() {
    reap(0);
    return status_.value_or(-1);
}

void ChildProcess::kill() {
    signal(SIGKILL);
    reap(0);
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    signal(SIGTERM);
    if (!wait(std::chrono::seconds(2))) kill();
}

bool enterPrivateNamespaces(int flags) {
    if (::unshare(flags) == 0) return true;
    return errno == EPERM && enterOwnUserNamespace(flags);
}

bool enterOwnUserNamespace(int flags) {
    const unsigned user = ::geteuid(), group = ::getegid();
    // Unmapped ids read as the overflow id, and files made would be nobody's;
    // the group's map needs setgroups given up first. A process that changed
    // its ids is not dumpable, and its maps are root's to write until it is.
    return ::prctl(PR_SET_DUMPABLE, 1) == 0 && ::unshare(flags | CLONE_NEWUSER) == 0 && mapOwn("/proc/self/uid_map", user) &&
           writeWhole("/proc/self/setgroups", "deny", 4) && mapOwn("/proc/self/gid_map", group);
}

std::vector<std::string> environmentWith(const std::string& name, const std::string& value) {
    return environmentWith({{name, value}});
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& variables,
                                         const std::vector<std::string>& without) {
    std::vector<std::string> environment;
    for (char** entry = ::environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string name(text.substr(0, text.find('=')));
        if (!variables.contains(name) && std::find(without.begin(), without.end(), name) == without.end())
            environment.emplace_back(text);
    }
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    return environment;
}

} // namespace quillmere::testing
