#include "QuillmereViewer/HostLocator.h"

#include "Platform/Bonjour/BonjourBrowser.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace quillmere {
namespace {

constexpr std::size_t serviceNameBytes = 63;

std::string names(std::span<const TrustedPeer> hosts) {
    std::string out;
    for (std::size_t i = 0; i < hosts.size(); ++i) out += fmt::format("{}\"{}\"", i ? ", " : "", hosts[i].name);
    return out;
}

} // namespace

std::expected<std::vector<TrustedPeer>, ViewerError> HostLocator::candidates(std::span<const TrustedPeer> peers,
                                                                             const std::optional<std::string>& name) {
    std::vector<TrustedPeer> hosts;
    for (const TrustedPeer& peer : peers) {
        if (peer.role == PeerRole::host && (!name || peer.name == *name)) hosts.push_back(peer);
    }
    if (hosts.empty() && name)
        return std::unexpected(ViewerError{fmt::format("no paired host is named \"{}\"", *name), ViewerError::host});
    if (hosts.empty())
        return std::unexpected(ViewerError{
            "no paired host: pair with one first (quillmere-viewer pair <invitation>)", ViewerError::host});
    return hosts;
}

std::expected<SocketAddress, std::string> HostLocator::resolve(const std::string& host, std::uint16_t port) {
    if (auto numeric = SocketAddress::numeric(host, port)) return *numeric;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0) return std::unexpected(fmt::format("\"{}\" does not resolve: {}", host, gai_strerror(status)));
    std::optional<SocketAddress> address;
    for (addrinfo* entry = found; entry != nullptr && !address; entry = entry->ai_next) {
        sockaddr_storage native{};
        if (entry->ai_addrlen > sizeof native) continue;
        std::memcpy(&native, entry->ai_addr, entry->ai_addrlen);
        if (native.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(native).sin_port = htons(port);
        else if (native.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(native).sin6_port = htons(port);
        else continue;
        address = SocketAddress::fromNative(reinterpret_cast<const sockaddr*>(&native), entry->ai_addrlen);
    }
    ::freeaddrinfo(found);
    if (!address) return std::unexpected(fmt::format("\"{}\" resolves to no usable address", host));
    return *address;
}

bool HostLocator::advertises(const std::string& serviceName, const std::string& hostName) {
    const std::string advertised = truncatedUTF8(hostName, serviceNameBytes);
    if (serviceName == advertised) return true;
    // Avahi's alternative after a collision: "<name> #<n>", the name cut to make room.
    const auto mark = serviceName.rfind(" #");
    if (mark == std::string::npos || mark + 2 >= serviceName.size()) return false;
    if (!std::all_of(serviceName.begin() + static_cast<std::ptrdiff_t>(mark) + 2, serviceName.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const std::string stem = serviceName.substr(0, mark);
    return !stem.empty() && advertised.starts_with(stem);
}

std::expected<HostTarget, ViewerError> HostLocator::at(const std::string& host, std::uint16_t port,
                                                       std::vector<TrustedPeer> hosts) {
    auto address = resolve(host, port);
    if (!address) return std::unexpected(ViewerError{address.error(), ViewerError::host});
    return HostTarget{*address, address->description(), std::move(hosts)};
}

std::expected<HostTarget, ViewerError> HostLocator::browse(std::vector<TrustedPeer> hosts,
                                                           std::chrono::milliseconds limit,
                                                           const std::function<bool()>& stop) {
    auto browser = BonjourBrowser::browse(std::string(WireProtocol::serviceType));
    if (!browser)
        return std::unexpected(ViewerError{
            fmt::format("cannot browse for the host ({}); give its address with --host and --port", browser.error()),
            ViewerError::host});
    auto paired = [&](const BonjourService& service) {
        return std::any_of(hosts.begin(), hosts.end(),
                           [&](const TrustedPeer& host) { return advertises(service.name, host.name); });
    };
    // An IPv4 address is preferred; an IPv6 one is taken when it is all there is.
    std::optional<BonjourService> found;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!found && !(*browser)->failure() && !(stop && stop())) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        found = (*browser)->waitFor([&](const BonjourService& service) { return !service.ipv6 && paired(service); },
                                    std::min(left, std::chrono::milliseconds(100)));
    }
    if (!found) found = (*browser)->waitFor(paired, std::chrono::milliseconds(0));
    if (!found) {
        if (const auto failure = (*browser)->failure())
            return std::unexpected(ViewerError{fmt::format("browsing for the host failed: {}", *failure), ViewerError::host});
        return std::unexpected(ViewerError{
            fmt::format("no paired host ({}) is advertised on the network; give its address with --host and --port",
                        names(hosts)),
            ViewerError::host});
    }
    auto address = SocketAddress::numeric(found->address, found->port);
    if (!address)
        return std::unexpected(ViewerError{
            fmt::format("the host \"{}\" is advertised at {}, which cannot be used", found->name, found->address),
            ViewerError::host});
    return HostTarget{*address, fmt::format("\"{}\" at {}", found->name, address->description()), std::move(hosts)};
}

} // namespace quillmere
