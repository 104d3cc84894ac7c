#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillmere {

// The names this machine goes by: the one shown to the user and advertised,
// and the one a phone on the local network reaches it by.
class HostNaming {
public:
    // The pretty host name, else the host name, else "Mac".
    static std::string localizedName(const std::optional<std::string>& prettyName,
                                     const std::optional<std::string>& hostName);
    // From systemd's machine information file and the kernel's host name.
    static std::string localizedName(const std::filesystem::path& machineInfo = "/etc/machine-info");
    // PRETTY_HOSTNAME of a machine information file; none when absent or empty.
    static std::optional<std::string> prettyName(const std::filesystem::path& machineInfo);
    // The kernel's host name; none when it has none.
    static std::optional<std::string> hostName();
    // The host name's first label followed by ".local", the name mDNS
    // answers for; "localhost" without a host name.
    static std::string mdnsHostName(const std::optional<std::string>& hostName);
};

} // namespace quillmere
