#include "TestSupport/LossyRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace quillmere::testing {

namespace {

using Clock = std::chrono::steady_clock;

int udpSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "relay socket");
    const int buffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        throw std::system_error(errno, std::generic_category(), "relay bind");
    }
    return fd;
}

std::uint64_t keyOf(const sockaddr_in& address) {
    return (std::uint64_t{address.sin_addr.s_addr} << 16) | address.sin_port;
}

} // namespace

struct LossyRelay::State {
    struct Packet {
        Clock::time_point due;
        std::uint64_t order = 0;
        int fd = -1;
        sockaddr_in to{};
        std::vector<std::uint8_t> bytes;
        bool operator>(const Packet& other) const { return std::tie(due, order) > std::tie(other.due, other.order); }
    };

    int front = -1; // where clients send
    int wake = -1;
    sockaddr_in server{};
    std::uint16_t port = 0;
    struct Client {
        sockaddr_in address{};
        int upstream = -1; // the socket that speaks for it to the server
        std::array<std::uint64_t, 2> packets{};
    };
    std::map<std::uint64_t, Client> clients;
    std::priority_queue<Packet, std::vector<Packet>, std::greater<>> held;
    std::uint64_t order = 0;
    std::mt19937_64 random;

    mutable std::mutex mutex;
    std::array<Conditions, 2> conditions;
    struct Choice {
        std::size_t minBytes = 0;
        std::uint64_t remaining = 0; // 0: none chosen
    };
    std::array<Choice, 2> choices;
    std::array<Counts, 2> counts;
    bool stopping = false;
    std::thread thread;

    void run();
    void relay(Direction direction, Client& client, const std::uint8_t* data, std::size_t size);
    static void send(const Packet& packet) {
        ::sendto(packet.fd, packet.bytes.data(), packet.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&packet.to),
                 sizeof packet.to);
    }
};

LossyRelay::LossyRelay(std::uint16_t serverPort, std::uint64_t seed) : state_(std::make_shared<State>()) {
    State& s = *state_;
    s.random.seed(seed);
    s.server.sin_family = AF_INET;
    s.server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    s.server.sin_port = htons(serverPort);
    s.front = udpSocket();
    s.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(s.front, reinterpret_cast<sockaddr*>(&bound), &length);
    s.port = ntohs(bound.sin_port);
    s.thread = std::thread([state = state_] { state->run(); });
}

LossyRelay::~LossyRelay() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(state_->wake, &one, sizeof one);
    state_->thread.join();
    for (auto& [key, client] : state_->clients) ::close(client.upstream);
    ::close(state_->front);
    ::close(state_->wake);
}

std::uint16_t LossyRelay::port() const { return state_->port; }

void LossyRelay::setConditions(Direction direction, const Conditions& conditions) {
    std::lock_guard lock(state_->mutex);
    state_->conditions[static_cast<std::size_t>(direction)] = conditions;
}

void LossyRelay::setConditions(const Conditions& conditions) {
    std::lock_guard lock(state_->mutex);
    state_->conditions = {conditions, conditions};
}

void LossyRelay::blackHole(bool on) {
    std::lock_guard lock(state_->mutex);
    for (Conditions& c : state_->conditions) c.blackHole = on;
}

void LossyRelay::dropOne(Direction direction, std::size_t minBytes, std::uint64_t nth) {
    std::lock_guard lock(state_->mutex);
    state_->choices[static_cast<std::size_t>(direction)] = {minBytes, nth};
}

LossyRelay::Counts LossyRelay::counts(Direction direction) const {
    std::lock_guard lock(state_->mutex);
    return state_->counts[static_cast<std::size_t>(direction)];
}

void LossyRelay::State::relay(Direction direction, Client& client, const std::uint8_t* data, std::size_t size) {
    const auto index = static_cast<std::size_t>(direction);
    Conditions c;
    bool chosen = false;
    {
        std::lock_guard lock(mutex);
        c = conditions[index];
        Choice& choice = choices[index];
        if (choice.remaining > 0 && size > choice.minBytes) chosen = --choice.remaining == 0;
    }
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const bool lost = c.blackHole || client.packets[index]++ >= c.passFirst || chosen ||
                      (c.loss > 0 && unit(random) < c.loss);
    const bool reordered = !lost && c.reorder > 0 && unit(random) < c.reorder;
    {
        std::lock_guard lock(mutex);
        Counts& n = counts[index];
        if (lost) ++n.dropped;
        else ++n.forwarded;
        if (chosen) ++n.chosen;
        if (reordered) ++n.reordered;
    }
    if (lost) return;
    const bool toServer = direction == Direction::toServer;
    Packet packet{Clock::now() + c.delay + (reordered ? c.reorderDelay : std::chrono::microseconds(0)), order++,
                  toServer ? client.upstream : front, toServer ? server : client.address,
                  std::vector<std::uint8_t>(data, data + size)};
    if (packet.due <= Clock::now()) send(packet);
    else held.push(std::move(packet));
}

void LossyRelay::State::run() {
    std::vector<std::uint8_t> buffer(65536);
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> owners;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
        }
        while (!held.empty() && held.top().due <= Clock::now()) {
            send(held.top());
            held.pop();
        }
        fds.assign({pollfd{wake, POLLIN, 0}, pollfd{front, POLLIN, 0}});
        owners.assign({0, 0});
        for (const auto& [key, client] : clients) {
            fds.push_back(pollfd{client.upstream, POLLIN, 0});
            owners.push_back(key);
        }
        int timeoutMs = -1;
        if (!held.empty()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(held.top().due - Clock::now());
            timeoutMs = static_cast<int>(std::max<std::int64_t>(0, wait.count()));
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) return;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            for (;;) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t got = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0,
                                               reinterpret_cast<sockaddr*>(&from), &length);
                if (got < 0) break;
                const auto size = static_cast<std::size_t>(got);
                if (i == 1) {
                    auto found = clients.find(keyOf(from));
                    if (found == clients.end()) found = clients.emplace(keyOf(from), Client{from, udpSocket(), {}}).first;
                    relay(Direction::toServer, found->second, buffer.data(), size);
                } else {
                    relay(Direction::toClient, clients.at(owners[i]), buffer.data(), size);
                }
            }
        }
    }
}

} // namespace quillmere::testing
