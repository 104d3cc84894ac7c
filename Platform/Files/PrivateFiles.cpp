#include "Platform/Files/PrivateFiles.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace quillmere {

namespace {

std::vector<char> entryBuffer(int which) {
    const long size = ::sysconf(which);
    return std::vector<char>(size > 0 ? static_cast<std::size_t>(size) : 16384);
}

// Under user private groups (umask 002) new files are group-writable, but
// the group is the account's own, named after it, with nobody else in it.
bool groupIsPrivate(gid_t gid) {
    if (gid != ::getegid()) return false;
    auto userBuffer = entryBuffer(_SC_GETPW_R_SIZE_MAX);
    passwd user{};
    passwd* foundUser = nullptr;
    if (::getpwuid_r(::geteuid(), &user, userBuffer.data(), userBuffer.size(), &foundUser) != 0 || foundUser == nullptr)
        return false;
    auto groupBuffer = entryBuffer(_SC_GETGR_R_SIZE_MAX);
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, groupBuffer.data(), groupBuffer.size(), &found) != 0 || found == nullptr)
        return false;
    const bool nobodyElse = found->gr_mem == nullptr || found->gr_mem[0] == nullptr;
    return nobodyElse && user.pw_gid == gid && std::strcmp(found->gr_name, user.pw_name) == 0;
}


using Problem = PrivateFiles::Problem;

std::unexpected<Problem> problem(Problem::Kind kind, std::string reason) {
    return std::unexpected(Problem{kind, std::move(reason)});
}

std::unexpected<Problem> failed(std::string_view what) {
    return problem(Problem::Kind::failed, std::string(what) + ": " + PrivateFiles::reason(errno));
}

std::expected<void, Problem> owned(const struct stat& info) {
    if (info.st_uid != ::geteuid())
        return problem(Problem::Kind::foreign, fmt::format("belongs to another account (uid {})", info.st_uid));
    const bool othersWrite =
        (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && !groupIsPrivate(info.st_gid));
    if (othersWrite)
        return problem(Problem::Kind::foreign,
                       fmt::format("can be changed by other accounts (mode {:04o})", info.st_mode & 07777));
    return {};
}

} // namespace

std::string PrivateFiles::reason(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::expected<PrivateFiles::Folder, Problem> PrivateFiles::folder(const std::filesystem::path& folder, bool create) {
    if (create) {
        std::filesystem::path built;
        for (const auto& part : folder) {
            built /= part;
            if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return failed("cannot be made");
        }
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        if (errno == ENOENT && !create) return Folder::missing;
        return failed("cannot be read");
    }
    if (!S_ISDIR(info.st_mode)) return problem(Problem::Kind::wrongKind, "is not a folder");
    if (auto ours = owned(info); !ours) return std::unexpected(ours.error());
    // Only what others may do goes: a folder the user made read-only stays so.
    if ((info.st_mode & 07077) != 0 && ::chmod(folder.c_str(), info.st_mode & 0700) != 0)
        return failed("cannot be made private");
    return Folder::ready;
}

std::expected<void, Problem> PrivateFiles::file(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return failed("cannot be read");
    if (!S_ISREG(info.st_mode)) return problem(Problem::Kind::wrongKind, "is not a plain file");
    if (auto ours = owned(info); !ours) return std::unexpected(ours.error());
    if ((info.st_mode & 077) != 0 && ::fchmod(fd, info.st_mode & 0700) != 0) return failed("cannot be made private");
    return {};
}

} // namespace quillmere
