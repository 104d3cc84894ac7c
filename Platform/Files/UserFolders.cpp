#include "Platform/Files/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace quillmere {

namespace {

bool absolute(const char* path) { return path != nullptr && path[0] == '/'; }

} // namespace

std::expected<std::filesystem::path, std::string> UserFolders::resolveHome(
    const char* home, const std::optional<std::string>& accountHome) {
    // A relative HOME would make a new state for every folder started from.
    if (absolute(home)) return std::filesystem::path(home);
    if (accountHome && absolute(accountHome->c_str())) return std::filesystem::path(*accountHome);
    return std::unexpected(std::string(
        "this account has no home folder: HOME is not an absolute path and the password database names none"));
}

std::expected<std::filesystem::path, std::string> UserFolders::resolve(const Kind& kind, const char* variable,
                                                                       const char* home,
                                                                       const std::optional<std::string>& accountHome) {
    if (absolute(variable)) return std::filesystem::path(variable);
    auto found = resolveHome(home, accountHome);
    if (!found) return found;
    return *found / kind.underHome;
}

std::optional<std::string> UserFolders::accountHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        !absolute(found->pw_dir))
        return std::nullopt;
    return std::string(found->pw_dir);
}

std::expected<std::filesystem::path, std::string> UserFolders::home() {
    const char* home = std::getenv("HOME");
    if (absolute(home)) return std::filesystem::path(home);
    return resolveHome(home, accountHome());
}

std::expected<std::filesystem::path, std::string> UserFolders::of(const Kind& kind) {
    const std::string variable(kind.variable);
    const char* value = std::getenv(variable.c_str());
    if (absolute(value)) return std::filesystem::path(value);
    auto found = home();
    if (!found) return found;
    return *found / kind.underHome;
}

} // namespace quillmere
