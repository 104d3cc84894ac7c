#include "Platform/Quic/UdpEndpoint.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace quillmere {

namespace {

constexpr int socketBufferBytes = 4 * 1024 * 1024;
constexpr std::size_t receiveBatch = 32;
constexpr int sendWaitMs = 20;

void setBufferSize(int fd, int forced, int plain) {
    // Root may go past the system limit; everyone else gets what it allows.
    if (::setsockopt(fd, SOL_SOCKET, forced, &socketBufferBytes, sizeof socketBufferBytes) != 0) {
        ::setsockopt(fd, SOL_SOCKET, plain, &socketBufferBytes, sizeof socketBufferBytes);
    }
}

std::optional<QuicError> applyTrafficClass(int fd, int family, int trafficClass) {
    // A dual-stack socket sends IPv4 with the IP_TOS byte, so set both there.
    if (family == AF_INET6 &&
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &trafficClass, sizeof trafficClass) != 0) {
        return QuicError::posix(errno, "setting the traffic class");
    }
    if (::setsockopt(fd, IPPROTO_IP, IP_TOS, &trafficClass, sizeof trafficClass) != 0 && family == AF_INET) {
        return QuicError::posix(errno, "setting the traffic class");
    }
    return std::nullopt;
}

std::expected<FileDescriptor, QuicError> openSocket(int family, int trafficClass) {
    FileDescriptor fd(::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!fd.valid()) return std::unexpected(QuicError::posix(errno, "opening a UDP socket"));
    setBufferSize(fd.get(), SO_RCVBUFFORCE, SO_RCVBUF);
    setBufferSize(fd.get(), SO_SNDBUFFORCE, SO_SNDBUF);
    if (family == AF_INET6) {
        const int off = 0;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (auto error = applyTrafficClass(fd.get(), family, trafficClass)) return std::unexpected(*error);
    return fd;
}

std::expected<SocketAddress, QuicError> boundAddress(int fd) {
    SocketAddress local;
    socklen_t length = SocketAddress::capacity();
    if (::getsockname(fd, local.native(), &length) != 0) {
        return std::unexpected(QuicError::posix(errno, "reading the local address"));
    }
    local.setLength(length);
    return local;
}

} // namespace

struct UdpEndpoint::State {
    explicit State(FileDescriptor socket) : socket(std::move(socket)) {}

    const FileDescriptor socket;
    FileDescriptor wake;
    std::atomic<bool> stopping{false};
    // Cleared for good when the kernel refuses segmentation offload.
    std::atomic<bool> segmentation{true};
    std::thread thread;
    std::thread::id threadID;
    PacketSink packets;
    ErrorSink errors;

    void run();
};

void UdpEndpoint::State::run() {
    std::vector<std::array<std::uint8_t, maxDatagramSize>> buffers(receiveBatch);
    std::array<iovec, receiveBatch> vectors{};
    std::array<sockaddr_storage, receiveBatch> sources{};
    std::array<mmsghdr, receiveBatch> messages{};
    pollfd fds[2] = {{socket.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
    while (!stopping.load(std::memory_order_acquire)) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            if (errors) errors(QuicError::posix(errno, "waiting for packets"));
            return;
        }
        if (stopping.load(std::memory_order_acquire)) return;
        for (;;) {
            for (std::size_t i = 0; i < receiveBatch; ++i) {
                vectors[i] = {buffers[i].data(), buffers[i].size()};
                messages[i].msg_hdr = {};
                messages[i].msg_hdr.msg_name = &sources[i];
                messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                messages[i].msg_len = 0;
            }
            const int count = ::recvmmsg(socket.get(), messages.data(), receiveBatch, MSG_DONTWAIT, nullptr);
            if (count < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                if (errno == EINTR) continue;
                if (errors) errors(QuicError::posix(errno, "receiving"));
                if (stopping.load(std::memory_order_acquire)) return;
                // An ICMP error is reported once; anything else would repeat, so pause.
                if (errno != ECONNREFUSED && errno != EHOSTUNREACH && errno != ENETUNREACH) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                continue;
            }
            for (int i = 0; i < count; ++i) {
                if (stopping.load(std::memory_order_acquire)) return;
                if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) continue;
                const auto from = SocketAddress::fromNative(reinterpret_cast<const sockaddr*>(&sources[i]),
                                                            messages[i].msg_hdr.msg_namelen);
                if (!from) continue;
                packets(*from, ByteView(buffers[i].data(), messages[i].msg_len));
            }
            if (static_cast<std::size_t>(count) < receiveBatch) break;
        }
    }
}

UdpEndpoint::UdpEndpoint(FileDescriptor fd, SocketAddress local, bool connected)
    : state_(std::make_shared<State>(std::move(fd))), local_(local), connected_(connected) {}

std::expected<std::shared_ptr<UdpEndpoint>, QuicError> UdpEndpoint::bind(const SocketAddress& local,
                                                                         int trafficClass) {
    auto fd = openSocket(local.family(), trafficClass);
    if (!fd) return std::unexpected(fd.error());
    if (::bind(fd->get(), local.native(), local.length()) != 0) {
        const int error = errno;
        return std::unexpected(QuicError::posix(error, "binding to " + local.description()));
    }
    auto bound = boundAddress(fd->get());
    if (!bound) return std::unexpected(bound.error());
    return std::shared_ptr<UdpEndpoint>(new UdpEndpoint(std::move(*fd), *bound, false));
}

std::expected<std::shared_ptr<UdpEndpoint>, QuicError> UdpEndpoint::connect(const SocketAddress& remote,
                                                                            int trafficClass) {
    auto fd = openSocket(remote.family(), trafficClass);
    if (!fd) return std::unexpected(fd.error());
    if (::connect(fd->get(), remote.native(), remote.length()) != 0) {
        const int error = errno;
        return std::unexpected(QuicError::posix(error, "connecting to " + remote.description()));
    }
    auto bound = boundAddress(fd->get());
    if (!bound) return std::unexpected(bound.error());
    return std::shared_ptr<UdpEndpoint>(new UdpEndpoint(std::move(*fd), *bound, true));
}

UdpEndpoint::~UdpEndpoint() {
    if (!state_->thread.joinable()) return;
    state_->stopping.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(state_->wake.get(), &one, sizeof one);
    if (std::this_thread::get_id() == state_->threadID) {
        // Destroyed from a sink: the thread sees the flag as soon as the sink returns.
        state_->thread.detach();
    } else {
        state_->thread.join();
    }
}

void UdpEndpoint::startReceiving(PacketSink packets, ErrorSink errors) {
    if (state_->thread.joinable()) return;
    state_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    state_->packets = std::move(packets);
    state_->errors = std::move(errors);
    std::promise<void> started;
    auto ready = started.get_future();
    state_->thread = std::thread([state = state_, &started] {
        state->threadID = std::this_thread::get_id();
        started.set_value();
        state->run();
    });
    ready.wait();
}

int UdpEndpoint::trafficClass() const {
    int value = 0;
    socklen_t length = sizeof value;
    if (local_.family() == AF_INET6) {
        if (::getsockopt(state_->socket.get(), IPPROTO_IPV6, IPV6_TCLASS, &value, &length) == 0) return value;
        return -1;
    }
    if (::getsockopt(state_->socket.get(), IPPROTO_IP, IP_TOS, &value, &length) == 0) return value;
    return -1;
}

std::optional<QuicError> UdpEndpoint::send(const SocketAddress& to, ByteView packet) const {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const ssize_t sent = connected_ ? ::send(state_->socket.get(), packet.data(), packet.size(), 0)
                                        : ::sendto(state_->socket.get(), packet.data(), packet.size(), 0, to.native(), to.length());
        if (sent >= 0) return std::nullopt;
        if (errno == EINTR) {
            --attempt;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return QuicError::posix(errno, "sending");
        pollfd writable{state_->socket.get(), POLLOUT, 0};
        ::poll(&writable, 1, sendWaitMs);
    }
    return QuicError::posix(EAGAIN, "sending");
}

namespace {

// What one sendmmsg call carries: at most this many messages, each either
// one packet or a run of equal-sized ones the kernel cuts apart (UDP GSO).
constexpr std::size_t maxMessages = 64;
constexpr std::size_t maxVectors = 256;
constexpr std::size_t maxSegments = 64;            // the kernel's UDP_MAX_SEGMENTS
constexpr std::size_t maxSegmentedBytes = 60'000;  // under the 64 KB of one send

struct SegmentControl {
    alignas(cmsghdr) std::uint8_t bytes[CMSG_SPACE(sizeof(std::uint16_t))];
};

} // namespace

std::optional<QuicError> UdpEndpoint::sendBatch(const SocketAddress& to, std::span<const ByteView> packets) const {
    std::array<mmsghdr, maxMessages> messages{};
    std::array<iovec, maxVectors> vectors{};
    std::array<SegmentControl, maxMessages> controls{};
    std::array<std::size_t, maxMessages> endOf{}; // the first packet after each message
    std::size_t done = 0;
    int waits = 0;
    while (done < packets.size()) {
        const bool segmenting = state_->segmentation.load(std::memory_order_relaxed);
        std::size_t count = 0;
        std::size_t used = 0;
        std::size_t next = done;
        bool firstSegmented = false;
        while (next < packets.size() && count < maxMessages && used < maxVectors) {
            // A run of packets of one size, of which the last may be shorter.
            const std::size_t segment = packets[next].size();
            const std::size_t first = used;
            std::size_t bytes = 0;
            do {
                const std::size_t size = packets[next].size();
                vectors[used++] = {const_cast<std::uint8_t*>(packets[next].data()), size};
                bytes += size;
                ++next;
                if (size < segment) break;
            } while (segmenting && next < packets.size() && used < maxVectors && used - first < maxSegments &&
                     packets[next].size() <= segment && bytes + packets[next].size() <= maxSegmentedBytes);
            mmsghdr& message = messages[count];
            message.msg_hdr = {};
            if (!connected_) {
                message.msg_hdr.msg_name = const_cast<sockaddr*>(to.native());
                message.msg_hdr.msg_namelen = to.length();
            }
            message.msg_hdr.msg_iov = &vectors[first];
            message.msg_hdr.msg_iovlen = used - first;
            if (used - first > 1) {
                message.msg_hdr.msg_control = controls[count].bytes;
                message.msg_hdr.msg_controllen = sizeof controls[count].bytes;
                cmsghdr* header = CMSG_FIRSTHDR(&message.msg_hdr);
                header->cmsg_level = SOL_UDP;
                header->cmsg_type = UDP_SEGMENT;
                header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
                const auto size = static_cast<std::uint16_t>(segment);
                std::memcpy(CMSG_DATA(header), &size, sizeof size);
                if (count == 0) firstSegmented = true;
            }
            endOf[count++] = next;
        }
        const int sent = ::sendmmsg(state_->socket.get(), messages.data(), static_cast<unsigned int>(count), 0);
        if (sent > 0) {
            done = endOf[static_cast<std::size_t>(sent) - 1];
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        // A device without checksum offload, or a kernel without UDP GSO:
        // one packet a message from now on.
        if (sent < 0 && firstSegmented && (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT)) {
            state_->segmentation.store(false, std::memory_order_relaxed);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return QuicError::posix(errno, "sending");
        // The socket buffer is full: wait a little, then give the rest up as lost.
        if (++waits > 1) return QuicError::posix(EAGAIN, "sending");
        pollfd writable{state_->socket.get(), POLLOUT, 0};
        ::poll(&writable, 1, sendWaitMs);
    }
    return std::nullopt;
}

bool UdpEndpoint::segmentsBatches() const { return state_->segmentation.load(std::memory_order_relaxed); }

int UdpEndpoint::descriptor() const { return state_->socket.get(); }

bool UdpEndpoint::isReceiveThread() const { return std::this_thread::get_id() == state_->threadID; }

} // namespace quillmere
