#pragma once

#include "Platform/Quic/SocketAddress.h"
#include "QuillmereViewer/ViewerError.h"
#include "QuillmereWire/TrustedPeer.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillmere {

// Where to open a session: an address, and the paired hosts whose
// fingerprints may answer there.
struct HostTarget {
    SocketAddress address;
    // "127.0.0.1:4433", or "\"Studio\" at 192.168.1.20:4433" when found by its advertisement.
    std::string description;
    std::vector<TrustedPeer> hosts;
};

// Finds the host of a session: by the address given, or by the Bonjour
// advertisement of a paired host, whose service name is the host's name cut
// to 63 bytes (Avahi adds " #2" and so on after a name collision).
class HostLocator {
public:
    // The paired hosts a run may use: the one named, or every one.
    static std::expected<std::vector<TrustedPeer>, ViewerError> candidates(std::span<const TrustedPeer> peers,
                                                                           const std::optional<std::string>& name);
    // A numeric address or a host name (the first address it resolves to).
    static std::expected<SocketAddress, std::string> resolve(const std::string& host, std::uint16_t port);
    // Whether an advertised service name stands for a host that paired under this name.
    static bool advertises(const std::string& serviceName, const std::string& hostName);

    static std::expected<HostTarget, ViewerError> at(const std::string& host, std::uint16_t port,
                                                     std::vector<TrustedPeer> hosts);
    // Browses until one of the hosts is seen, at most for the limit, and
    // gives up early once stop says so.
    static std::expected<HostTarget, ViewerError> browse(std::vector<TrustedPeer> hosts,
                                                         std::chrono::milliseconds limit,
                                                         const std::function<bool()>& stop = {});
};

} // namespace quillmere
