// Two peer connections on loopback against plain UDP on loopback, measured in
// the same run with the same sizes: datagrams per second over the datagram
// flow, and megabytes per second of control messages over the control
// stream (against UDP datagrams as large as the control frames). After the
// runs a table gives each QUIC figure as a fraction of its UDP baseline.

#include "Platform/Defaults/Defaults.h"
#include "TestSupport/TemporaryFolder.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereTransport/PeerConnection.h"
#include "QuillmereTransport/PeerListener.h"
#include "QuillmereTransport/QUICParameters.h"
#include "TestSupport/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace quillmere;
using SteadyClock = std::chrono::steady_clock;

constexpr int datagramsPerRound = 512;
constexpr std::size_t streamBytesPerRound = 4 * 1024 * 1024;
constexpr std::int64_t maxMessagesPerRound = 1024;
// A round ends early once nothing has arrived for this long: what is still
// missing was lost (UDP's receive buffer overflowed).
constexpr auto stallLimit = std::chrono::milliseconds(50);

// Counts arrivals on one side and wakes a waiter when a target is reached.
class Arrivals {
public:
    void add(std::int64_t count, std::int64_t bytes) {
        const auto now = count_.fetch_add(count) + count;
        bytes_.fetch_add(bytes);
        if (now >= target_.load()) {
            std::lock_guard lock(mutex_);
            reached_.notify_all();
        }
    }
    // Waits for count more arrivals, or until they stop coming; returns how many came.
    std::int64_t await(std::int64_t base, std::int64_t count) {
        target_.store(base + count);
        std::unique_lock lock(mutex_);
        std::int64_t seen = count_.load();
        while (!reached_.wait_for(lock, stallLimit, [&] { return count_.load() >= base + count; })) {
            const std::int64_t now = count_.load();
            if (now == seen) break;
            seen = now;
        }
        return count_.load() - base;
    }
    std::int64_t count() const { return count_.load(); }

private:
    std::atomic<std::int64_t> count_{0};
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> target_{INT64_MAX};
    std::mutex mutex_;
    std::condition_variable reached_;
};

// A paired client and its server connection, made once for every run.
class Session {
public:
    Session() {
        Keychain keychain(folder_.path() / "keychain");
        host_ = *IdentityStore(keychain).create("host", "QuillmereMac");
        phone_ = *IdentityStore(keychain).create("phone", "QuillmereMac");
        const Digest32 phonePrint = phone_->fingerprint;
        const Digest32 hostPrint = host_->fingerprint;
        auto serverParameters = QUICParameters::make(
            "quillmere/1", *host_, true, [phonePrint](const auto& seen) { return seen && *seen == phonePrint; },
            defaults_);
        listener_ = *PeerListener::make(serverParameters, "quillmere/1", 0, std::nullopt);
        // The handler outlives this constructor: it owns what it fills.
        auto port = std::make_shared<std::promise<std::uint16_t>>();
        auto accepted = std::make_shared<std::promise<std::shared_ptr<PeerConnection>>>();
        auto portFuture = port->get_future();
        auto acceptedFuture = accepted->get_future();
        listener_->start([port, accepted](const PeerListenerEvent& event) {
            if (auto ready = std::get_if<listener::Ready>(&event)) port->set_value(ready->port);
            if (auto connection = std::get_if<listener::Connection>(&event)) accepted->set_value(connection->connection);
        });
        auto clientParameters = QUICParameters::make(
            "quillmere/1", *phone_, true, [hostPrint](const auto& seen) { return seen && *seen == hostPrint; },
            defaults_);
        client_ = *PeerConnection::make(SocketAddress::loopbackV4(portFuture.get()), clientParameters,
                                        "quillmere/1");
        auto flowReady = std::make_shared<std::promise<void>>();
        auto flowFuture = flowReady->get_future();
        client_->start([flowReady](const PeerEvent& event) {
            if (std::holds_alternative<peer::DatagramFlowReady>(event)) flowReady->set_value();
        });
        // The server's half of the handshake runs once its connection is started.
        server_ = acceptedFuture.get();
        server_->start([this](const PeerEvent& event) {
            if (auto datagram = std::get_if<peer::Datagram>(&event)) {
                datagrams.add(1, static_cast<std::int64_t>(datagram->bytes.size()));
            } else if (std::holds_alternative<peer::Control>(event)) {
                controls.add(1, 0);
            }
        });
        flowFuture.wait();
        client_->sendControl(msg::Ping{1});
        controls.await(0, 1);
        client_->queue().sync([&] { usable = client_->usableDatagramSize(); });
    }

    ~Session() {
        client_->cancel();
        server_->cancel();
        client_->isClosed();
        server_->isClosed();
        listener_->stop();
    }

    PeerConnection& client() { return *client_; }

    Arrivals datagrams;
    Arrivals controls;
    std::int64_t usable = 0;

private:
    testing::TemporaryFolder folder_;
    Defaults defaults_{folder_.path() / "defaults.ini"};
    std::optional<LocalIdentity> host_;
    std::optional<LocalIdentity> phone_;
    std::shared_ptr<PeerListener> listener_;
    std::shared_ptr<PeerConnection> client_;
    std::shared_ptr<PeerConnection> server_;
};

Session& session() {
    static Session shared;
    return shared;
}

// Plain UDP between two loopback sockets, a thread receiving on one.
class UdpPair {
public:
    UdpPair() {
        receiver_ = open();
        sender_ = open();
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(receiver_, reinterpret_cast<sockaddr*>(&address), &length);
        ::connect(sender_, reinterpret_cast<sockaddr*>(&address), length);
        thread_ = std::thread([this] {
            std::vector<std::uint8_t> buffer(70000);
            while (!stopping_.load()) {
                const ssize_t got = ::recv(receiver_, buffer.data(), buffer.size(), 0);
                if (got > 0) arrivals.add(1, got);
            }
        });
    }
    ~UdpPair() {
        stopping_.store(true);
        const char wake = 0;
        ::send(sender_, &wake, 1, 0);
        thread_.join();
        ::close(sender_);
        ::close(receiver_);
    }
    void send(const std::vector<std::uint8_t>& bytes) { ::send(sender_, bytes.data(), bytes.size(), 0); }

    Arrivals arrivals;

private:
    static int open() {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 4 * 1024 * 1024;
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }

    int receiver_;
    int sender_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

UdpPair& udp() {
    static UdpPair shared;
    return shared;
}

// CPU time of every thread of this process: both ends of either pair.
double processCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs rounds of `count` sends, each waited for, and reports the arrivals
// per second of wall time, the bytes per second, and the arrivals per
// second of CPU time spent by the whole process (sender and receiver).
template <class Send>
void measure(benchmark::State& state, Arrivals& arrivals, std::int64_t count, std::size_t bytesEach, Send send) {
    std::int64_t received = 0;
    std::int64_t sent = 0;
    const double cpuStart = processCpuSeconds();
    const auto start = SteadyClock::now();
    for (auto _ : state) {
        const auto base = arrivals.count();
        send();
        received += arrivals.await(base, count);
        sent += count;
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const double cpuSeconds = processCpuSeconds() - cpuStart;
    state.counters["perSecond"] = static_cast<double>(received) / seconds;
    state.counters["perCpuSecond"] = cpuSeconds > 0 ? static_cast<double>(received) / cpuSeconds : 0;
    state.counters["MBps"] = static_cast<double>(received) * static_cast<double>(bytesEach) / seconds / 1e6;
    state.counters["lost"] = static_cast<double>(sent - received);
}

void UdpDatagrams(benchmark::State& state) {
    const std::vector<std::uint8_t> datagram(static_cast<std::size_t>(state.range(0)), 0x5A);
    measure(state, udp().arrivals, datagramsPerRound, datagram.size(), [&] {
        for (int i = 0; i < datagramsPerRound; ++i) udp().send(datagram);
    });
}

void QuicDatagrams(benchmark::State& state) {
    Session& s = session();
    const auto size = static_cast<std::size_t>(state.range(0));
    if (static_cast<std::int64_t>(size) > s.usable) {
        state.SkipWithError("larger than the usable datagram size");
        return;
    }
    // Shared, not copied, as the host sends the fragments of a frame.
    const SharedBytes datagram(Bytes(size, 0x5A));
    measure(state, s.datagrams, datagramsPerRound, size, [&] {
        s.client().queue().async([&] {
            for (int i = 0; i < datagramsPerRound; ++i) s.client().sendDatagram(datagram);
        });
    });
}

// A control message whose frame is frameBytes long.
ControlMessage messageOfFrameSize(std::size_t frameBytes) {
    CursorShape shape;
    shape.pointHeight = 32;
    shape.png.assign(frameBytes - 8 - 8, 0x5A); // frame header, then the shape's own fields
    return shape;
}

// About 4 MB a round, in few enough datagrams for the UDP baseline's
// receive buffer to hold a whole round.
std::int64_t messagesPerRound(std::size_t frameBytes) {
    return std::min(maxMessagesPerRound, static_cast<std::int64_t>(streamBytesPerRound / frameBytes));
}

void UdpStreamSizes(benchmark::State& state) {
    const std::vector<std::uint8_t> datagram(static_cast<std::size_t>(state.range(0)), 0x5A);
    const auto count = messagesPerRound(datagram.size());
    measure(state, udp().arrivals, count, datagram.size(), [&] {
        for (std::int64_t i = 0; i < count; ++i) udp().send(datagram);
    });
}

void QuicControlStream(benchmark::State& state) {
    Session& s = session();
    const auto frameBytes = static_cast<std::size_t>(state.range(0));
    const ControlMessage message = messageOfFrameSize(frameBytes);
    if (message.encodeFrame()->size() != frameBytes) {
        state.SkipWithError("frame size mismatch");
        return;
    }
    const auto count = messagesPerRound(frameBytes);
    measure(state, s.controls, count, frameBytes, [&] {
        for (std::int64_t i = 0; i < count; ++i) s.client().sendControl(message);
    });
}

BENCHMARK(UdpDatagrams)->Arg(200)->Arg(1100)->UseRealTime();
BENCHMARK(QuicDatagrams)->Arg(200)->Arg(1100)->UseRealTime();
BENCHMARK(UdpStreamSizes)->Arg(1024)->Arg(60000)->UseRealTime();
BENCHMARK(QuicControlStream)->Arg(1024)->Arg(60000)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    quillmere::testing::RatioReporter reporter(
        "QUIC as a fraction of plain UDP of the same sizes on loopback (1.0 = as fast as UDP)", "perSecond");
    reporter.compare("QuicDatagrams/", "UdpDatagrams/").compare("QuicControlStream/", "UdpStreamSizes/");
    // The UDP baseline sends as fast as its thread can, unpaced; QUIC paces
    // by its congestion control. What each costs per message, both ends
    // together, compares them without the pacing.
    reporter.alsoBy("The same, as messages per CPU second of the whole process (1.0 = as cheap as UDP)",
                    "perCpuSecond");
    return reporter.run(argc, argv);
}
