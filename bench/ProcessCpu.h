#pragma once

// What the host benchmarks share: CPU of this process and of its children
// read from the kernel, and a UDP sink that takes what ffmpeg sends as a
// viewer's socket would.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::bench {

inline double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

inline double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return cpuSeconds(usage);
}

// User and system time of a running process, from /proc.
inline double childCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class UdpSink {
public:
    UdpSink() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~UdpSink() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (socket_ >= 0) close(socket_);
    }
    UdpSink(const UdpSink&) = delete;
    UdpSink& operator=(const UdpSink&) = delete;
    int port() const { return port_; }
    std::size_t bytes() const { return bytes_.load(); }

private:
    void run() {
        std::vector<char> buffer(65536);
        while (!stop_) {
            pollfd fd{socket_, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0) continue;
            const auto got = recv(socket_, buffer.data(), buffer.size(), 0);
            if (got > 0) bytes_ += static_cast<std::size_t>(got);
        }
    }

    int socket_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> bytes_{0};
    std::thread thread_;
};

} // namespace quillmere::bench
