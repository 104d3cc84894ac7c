#pragma once

// A private system bus and an Avahi daemon for one test suite. The daemon
// runs in a network namespace of its own whose only interface is loopback,
// so nothing is multicast on a real network; its run files sit on a tmpfs
// of its own. The process's DBUS_SYSTEM_BUS_ADDRESS points at the private
// bus, which is all libavahi-client and avahi-browse look at.

#include "Platform/Keychain/Tests/TemporaryFolder.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quillmere::testing {

class AvahiTestDaemon {
public:
    AvahiTestDaemon() {
        const auto bus = folder_.path() / "bus";
        const auto busConfig = folder_.path() / "bus.conf";
        const auto avahiConfig = folder_.path() / "avahi.conf";
        std::ofstream(busConfig) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                                    "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                    "<busconfig><type>system</type><listen>unix:path="
                                 << bus.string()
                                 << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                    "<allow user=\"*\"/><allow own=\"*\"/>"
                                    "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/>"
                                    "<allow send_type=\"method_return\"/><allow send_type=\"error\"/>"
                                    "<allow receive_type=\"method_call\"/><allow receive_type=\"signal\"/>"
                                    "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/>"
                                    "</policy></busconfig>\n";
        std::ofstream(avahiConfig) << "[server]\nhost-name=quillmere-test\nuse-ipv4=yes\nuse-ipv6=no\n"
                                      "allow-interfaces=lo\nenable-dbus=yes\n"
                                      "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
                                      "[wide-area]\nenable-wide-area=no\n"
                                      "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
        address_ = "unix:path=" + bus.string();
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);

        busPid_ = spawn({"dbus-daemon", "--nofork", "--config-file=" + busConfig.string()});
        for (int i = 0; i < 200 && !std::filesystem::exists(bus); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!std::filesystem::exists(bus)) {
            problem_ = "the private D-Bus daemon did not start";
            return;
        }
        startAvahi(avahiConfig.string());
    }

    ~AvahiTestDaemon() {
        stop(avahiPid_);
        stop(busPid_);
    }

    // Empty when the daemons run; otherwise why not.
    const std::string& problem() const { return problem_; }
    // True when the namespace could not be made here (not a failure of ours).
    bool namespacesRefused() const { return namespacesRefused_; }

    // avahi-browse -rpt for a service type: one line per entry.
    std::vector<std::string> browse(const std::string& type) const {
        std::vector<std::string> lines;
        const std::string command = "timeout 10 avahi-browse -rpt " + type + " 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return lines;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            std::string line(buffer);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            lines.push_back(line);
        }
        ::pclose(pipe);
        return lines;
    }

    // The resolved ("=") lines only.
    std::vector<std::string> resolved(const std::string& type) const {
        std::vector<std::string> out;
        for (const auto& line : browse(type)) {
            if (line.rfind("=;", 0) == 0) out.push_back(line);
        }
        return out;
    }

private:
    static pid_t spawn(const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    void startAvahi(const std::string& config) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            problem_ = "pipe failed";
            return;
        }
        const std::string program = "/usr/sbin/avahi-daemon";
        std::vector<std::string> arguments = {program, "--no-drop-root", "--no-chroot", "--no-rlimits", "-f", config};
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only system calls from here to exec.
            ::close(report[0]);
            auto fail = [&](int step) {
                const int codes[2] = {step, errno};
                [[maybe_unused]] auto written = ::write(report[1], codes, sizeof codes);
                ::_exit(126);
            };
            if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) fail(1);
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail(2);
            if (::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) fail(3);
            if (::mkdir("/run/avahi-daemon", 0755) != 0) fail(4);
            const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
            ifreq request{};
            std::strcpy(request.ifr_name, "lo");
            if (sock < 0 || ::ioctl(sock, SIOCGIFFLAGS, &request) != 0) fail(5);
            request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
            if (::ioctl(sock, SIOCSIFFLAGS, &request) != 0) fail(6);
            ::close(sock);
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execve(argv[0], argv.data(), environ);
            fail(7);
        }
        ::close(report[1]);
        int codes[2] = {0, 0};
        const auto got = ::read(report[0], codes, sizeof codes);
        ::close(report[0]);
        if (got == static_cast<ssize_t>(sizeof codes)) {
            ::waitpid(pid, nullptr, 0);
            namespacesRefused_ = codes[0] <= 3 && (codes[1] == EPERM || codes[1] == EACCES || codes[1] == EINVAL);
            problem_ = std::string("starting avahi-daemon in a network namespace failed at step ") +
                       std::to_string(codes[0]) + ": " + std::strerror(codes[1]);
            return;
        }
        avahiPid_ = pid;
    }

    static void stop(pid_t& pid) {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    TemporaryFolder folder_;
    std::string address_;
    std::string problem_;
    bool namespacesRefused_ = false;
    pid_t busPid_ = -1;
    pid_t avahiPid_ = -1;
};

} // namespace quillmere::testing
