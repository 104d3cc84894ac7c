#include "QuillmereMac/App/HostNaming.h"

#include <unistd.h>

#include <array>
#include <fstream>

namespace quillmere {

namespace {

// A value of an environment-style file: quotes and backslash escapes undone.
std::string unquoted(std::string value) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') return value.substr(1, value.size() - 2);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        out += value[i];
    }
    return out;
}

} // namespace

std::string HostNaming::localizedName(const std::optional<std::string>& prettyName,
                                      const std::optional<std::string>& hostName) {
    if (prettyName && !prettyName->empty()) return *prettyName;
    if (hostName && !hostName->empty()) return *hostName;
    return "Mac";
}

std::string HostNaming::localizedName(const std::filesystem::path& machineInfo) {
    return localizedName(prettyName(machineInfo), hostName());
}

std::optional<std::string> HostNaming::prettyName(const std::filesystem::path& machineInfo) {
    std::ifstream in(machineInfo);
    std::optional<std::string> found;
    for (std::string line; std::getline(in, line);) {
        static constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.rfind(key, 0) != 0) continue;
        std::string value = unquoted(line.substr(key.size()));
        found = value.empty() ? std::nullopt : std::optional(value);
    }
    return found;
}

std::optional<std::string> HostNaming::hostName() {
    std::array<char, 256> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0 || buffer[0] == '\0') return std::nullopt;
    return std::string(buffer.data());
}

std::string HostNaming::mdnsHostName(const std::optional<std::string>& hostName) {
    if (!hostName || hostName->empty()) return "localhost";
    return hostName->substr(0, hostName->find('.')) + ".local";
}

} // namespace quillmere
