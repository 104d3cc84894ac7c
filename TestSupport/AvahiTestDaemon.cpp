#include "TestSupport/AvahiTestDaemon.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace quillmere::testing {

namespace {

// avahi-browse -p writes bytes outside plain ASCII letters and digits as \DDD.
std::string unescapeBrowseField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
            out.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3))));
            i += 3;
        } else if (field[i] == '\\' && i + 1 < field.size()) {
            out.push_back(field[++i]);
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

// The fields of an avahi-browse -p line.
std::vector<std::string> browseFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string current;
    for (char c : line) {
        if (c == ';') {
            fields.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    fields.push_back(current);
    return fields;
}

} // namespace

AvahiTestDaemon::AvahiTestDaemon() {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
    const auto config = folder_.path() / "avahi.conf";
    std::ofstream(config) << "[server]\nhost-name=quillmere-test\nuse-ipv4=yes\nuse-ipv6=no\n"
                             "allow-interfaces=lo\nenable-dbus=yes\n"
                             "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
                             "[wide-area]\nenable-wide-area=no\n"
                             "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
    startAvahi(config.string());
}

std::vector<AvahiTestDaemon::Service> AvahiTestDaemon::services(const std::string& type) const {
    std::vector<Service> found;
    const std::string command = "timeout 10 avahi-browse -rpt " + type + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return found;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        // Resolved entries only: "=;interface;protocol;name;type;domain;host;address;port;txt".
        if (line.rfind("=;", 0) != 0) continue;
        const auto fields = browseFields(line);
        if (fields.size() >= 10) found.push_back({unescapeBrowseField(fields[3]), fields[7], fields[8], fields[9]});
    }
    ::pclose(pipe);
    return found;
}

void AvahiTestDaemon::startAvahi(const std::string& config) {
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
    // Without root the daemon's user namespace maps this account alone, and
    // the daemon wants its run folder to be avahi's: there, this one is avahi.
    std::vector<std::pair<std::filesystem::path, const char*>> accounts;
    if (::geteuid() != 0) {
        const std::string user = std::to_string(::geteuid()), group = std::to_string(::getegid());
        accounts = {{folder_.write("passwd", "avahi:x:" + user + ":" + group + "::/run:-\n"), "/etc/passwd"},
                    {folder_.write("group", "avahi:x:" + group + ":\n"), "/etc/group"}};
    }
    ChildProcess avahi = ChildProcess::fork([&] {
        // Only system calls from here to exec.
        ::close(report[0]);
        auto fail = [&](int step) {
            const int codes[2] = {step, errno};
            [[maybe_unused]] auto written = ::write(report[1], codes, sizeof codes);
            return 126;
        };
        if (!enterPrivateNamespaces(CLONE_NEWNET | CLONE_NEWNS)) return fail(1);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail(2);
        if (::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) return fail(3);
        if (::mkdir("/run/avahi-daemon", 0755) != 0) return fail(4);
        for (const auto& [file, over] : accounts)
            if (::mount(file.c_str(), over, nullptr, MS_BIND, nullptr) != 0) return fail(4);
        const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        if (sock < 0 || ::ioctl(sock, SIOCGIFFLAGS, &request) != 0) return fail(5);
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (::ioctl(sock, SIOCSIFFLAGS, &request) != 0) return fail(6);
        ::close(sock);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        ::execve(argv[0], argv.data(), environ);
        return fail(7);
    });
    ::close(report[1]);
    int codes[2] = {0, 0};
    const auto got = ::read(report[0], codes, sizeof codes);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof codes)) {
        avahi.wait();
        namespacesRefused_ = codes[0] <= 3 && (codes[1] == EPERM || codes[1] == EACCES || codes[1] == EINVAL);
        problem_ = std::string("starting avahi-daemon in a network namespace failed at step ") +
                   std::to_string(codes[0]) + ": " + std::strerror(codes[1]);
        return;
    }
    avahi_ = std::move(avahi);
}

} // namespace quillmere::testing
