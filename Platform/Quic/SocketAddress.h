#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// An IPv4 or IPv6 address with a UDP port, as the socket calls take it.
class SocketAddress {
public:
    SocketAddress();

    // A numeric host ("127.0.0.1", "::1"); absent for anything else.
    static std::optional<SocketAddress> numeric(std::string_view host, std::uint16_t port);
    static SocketAddress loopbackV4(std::uint16_t port);
    // The IPv6 wildcard: a dual-stack socket bound to it takes IPv4 too.
    static SocketAddress anyV6(std::uint16_t port);
    static std::optional<SocketAddress> fromNative(const sockaddr* address, socklen_t length);

    int family() const { return storage_.ss_family; }
    std::uint16_t port() const;
    // "127.0.0.1:4433", "[::1]:4433"
    std::string description() const;

    const sockaddr* native() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    sockaddr* native() { return reinterpret_cast<sockaddr*>(&storage_); }
    socklen_t length() const { return length_; }
    void setLength(socklen_t length) { length_ = length; }
    static constexpr socklen_t capacity() { return sizeof(sockaddr_storage); }

    bool operator==(const SocketAddress& other) const;

private:
    sockaddr_storage storage_;
    socklen_t length_;
};

} // namespace quillmere
