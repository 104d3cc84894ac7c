#include "Platform/Quic/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <fmt/format.h>

namespace quillmere {

SocketAddress::SocketAddress() : length_(0) { std::memset(&storage_, 0, sizeof storage_); }

std::optional<SocketAddress> SocketAddress::numeric(std::string_view host, std::uint16_t port) {
    const std::string text(host);
    SocketAddress address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage_);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        address.length_ = sizeof(sockaddr_in);
        return address;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage_);
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        address.length_ = sizeof(sockaddr_in6);
        return address;
    }
    return std::nullopt;
}

SocketAddress SocketAddress::loopbackV4(std::uint16_t port) { return *numeric("127.0.0.1", port); }

SocketAddress SocketAddress::anyV6(std::uint16_t port) { return *numeric("::", port); }

std::optional<SocketAddress> SocketAddress::fromNative(const sockaddr* native, socklen_t length) {
    if (native == nullptr || length <= 0 || length > capacity()) return std::nullopt;
    if (native->sa_family != AF_INET && native->sa_family != AF_INET6) return std::nullopt;
    SocketAddress address;
    std::memcpy(&address.storage_, native, length);
    address.length_ = length;
    return address;
}

std::uint16_t SocketAddress::port() const {
    if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return 0;
}

std::string SocketAddress::description() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (family() == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, text, sizeof text);
        return fmt::format("{}:{}", text, port());
    }
    if (family() == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr, text, sizeof text);
        return fmt::format("[{}]:{}", text, port());
    }
    return "(no address)";
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return length_ == other.length_ && std::memcmp(&storage_, &other.storage_, length_) == 0;
}

} // namespace quillmere
