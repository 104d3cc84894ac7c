#include "Platform/Files/PrivateFiles.h"

#include "Platform/Files/UserFolders.h"
#include "QuillmereBase/FileDescriptor.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <sstream>
#include <utility>
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

// Root's, or this account's own.
bool trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

std::string contents(const char* file) {
    const FileDescriptor fd(::open(file, O_RDONLY | O_CLOEXEC));
    const auto bytes = fd.valid() ? fd.readToEnd() : std::unexpected(errno);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// In a user namespace that leaves root unmapped, as a rootless container or
// a sandbox that maps only the user's id does, root's folders show as the
// overflow id, and so do those of every other account outside.
std::optional<uid_t> unmappedRoot() {
    std::istringstream map(contents("/proc/self/uid_map"));
    unsigned long inside = 0, outside = 0, count = 0;
    bool mapped = false;
    while (map >> inside >> outside >> count) {
        if (outside == 0 && count > 0) return std::nullopt;
        mapped = true;
    }
    unsigned long overflow = 0;
    if (!mapped || !(std::istringstream(contents("/proc/sys/kernel/overflowuid")) >> overflow)) return std::nullopt;
    return static_cast<uid_t>(overflow);
}

bool othersMayWrite(const struct stat& info) {
    return (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && !groupIsPrivate(info.st_gid));
}

using Problem = PrivateFiles::Problem;

std::unexpected<Problem> problem(Problem::Kind kind, std::string reason) {
    return std::unexpected(Problem{kind, std::move(reason)});
}

std::unexpected<Problem> failed(std::string_view what) {
    return problem(Problem::Kind::failed, std::string(what) + ": " + PrivateFiles::reason(errno));
}

// The parts of an absolute path, as the walk takes them.
std::deque<std::string> partsOf(const std::filesystem::path& path) {
    std::deque<std::string> parts;
    for (const auto& part : path.relative_path()) {
        if (!part.empty() && part != ".") parts.push_back(part.string());
    }
    return parts;
}

using Identity = std::pair<dev_t, ino_t>;

std::expected<void, Problem> owned(const struct stat& info) {
    if (info.st_uid != ::geteuid())
        return problem(Problem::Kind::foreign, fmt::format("belongs to another account (uid {})", info.st_uid));
    if (othersMayWrite(info))
        return problem(Problem::Kind::foreign,
                       fmt::format("can be changed by other accounts (mode {:04o})", info.st_mode & 07777));
    return {};
}

// The folders from "/" down to a state folder, each opened beneath the one
// before and never through a link by name: what another account could
// rename, replace or plant on the way is refused rather than gone through.
class Walk {
public:
    Walk() = default;
    // A walk that refuses nothing, and notes each folder a name is looked up in.
    explicit Walk(std::set<Identity>& lookedIn) : lookedIn_(&lookedIn) {}

    bool start() {
        at_.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        path_ = "/";
        return at_.valid();
    }

    // Where the walk stands holds what comes below: nobody but root and
    // this account may change it, save their own entries (the sticky bit).
    std::expected<void, Problem> check() const {
        if (lookedIn_ != nullptr) return {};
        struct stat info {};
        if (::fstat(at_.get(), &info) != 0) return failed("cannot be reached");
        if (!trusted(info.st_uid) && info.st_uid != unmappedRoot_)
            return problem(Problem::Kind::above, fmt::format("is inside {}, which belongs to another account (uid {})",
                                                             path_.string(), info.st_uid));
        if (!trusted(info.st_uid) && !systemPath().contains({info.st_dev, info.st_ino}))
            return problem(Problem::Kind::above,
                           fmt::format("is inside {}, whose owner cannot be told from inside this container "
                                       "(it shows as uid {})",
                                       path_.string(), info.st_uid));
        if (othersMayWrite(info) && (info.st_mode & S_ISVTX) == 0)
            return problem(Problem::Kind::above,
                           fmt::format("is inside {}, which can be changed by other accounts (mode {:04o})",
                                       path_.string(), info.st_mode & 07777));
        return {};
    }

    // Down through parts, made (0700) when missing and create is set.
    std::expected<PrivateFiles::Folder, Problem> through(std::deque<std::string> parts, bool create) {
        int links = 0;
        while (!parts.empty()) {
            const std::string part = std::move(parts.front());
            parts.pop_front();
            if (struct stat holder {}; lookedIn_ != nullptr && ::fstat(at_.get(), &holder) == 0)
                lookedIn_->insert({holder.st_dev, holder.st_ino});
            if (part == "..") {
                // Above the folder a link led to, not above the link.
                at_.reset(::openat(at_.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!at_.valid()) return failed("cannot be reached");
                path_ = path_.parent_path();
                if (auto checked = check(); !checked) return std::unexpected(checked.error());
                continue;
            }
            const std::filesystem::path here = path_ / part;
            FileDescriptor next(::openat(at_.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (!next.valid() && errno == ENOENT) {
                if (!create) return PrivateFiles::Folder::missing;
                if (::mkdirat(at_.get(), part.c_str(), 0700) != 0 && errno != EEXIST)
                    return failed(fmt::format("cannot be made, as {} cannot be", here.string()));
                next.reset(::openat(at_.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            }
            struct stat info {};
            if (!next.valid() || ::fstat(next.get(), &info) != 0)
                return failed(fmt::format("cannot be reached through {}", here.string()));
            if (S_ISLNK(info.st_mode)) {
                if (!linkTrusted(info.st_uid))
                    return problem(Problem::Kind::above,
                                   fmt::format("is inside {}, a symbolic link of another account (uid {})",
                                               here.string(), info.st_uid));
                if (++links > 40) return problem(Problem::Kind::failed, "cannot be reached: too many symbolic links");
                auto target = linkTarget(next.get());
                if (!target) return failed(fmt::format("cannot be reached through {}", here.string()));
                const std::filesystem::path to(*target);
                std::vector<std::string> named;
                for (const auto& step : to.relative_path())
                    if (!step.empty() && step != ".") named.push_back(step.string());
                parts.insert(parts.begin(), named.begin(), named.end());
                if (to.is_absolute()) {
                    if (!start()) return failed("cannot be reached");
                    if (auto checked = check(); !checked) return std::unexpected(checked.error());
                }
                continue;
            }
            if (!S_ISDIR(info.st_mode))
                return problem(Problem::Kind::wrongKind, fmt::format("cannot be reached: {} is not a folder", here.string()));
            at_ = std::move(next);
            path_ = here;
            if (auto checked = check(); !checked) return std::unexpected(checked.error());
        }
        return PrivateFiles::Folder::ready;
    }

    // The state folder itself, in the folder reached: this account's alone,
    // never a link, its mode changed through its own descriptor.
    std::expected<PrivateFiles::Folder, Problem> last(const std::string& name, bool create) const {
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        FileDescriptor fd(::openat(at_.get(), name.c_str(), flags));
        if (!fd.valid() && errno == ENOENT) {
            if (!create) return PrivateFiles::Folder::missing;
            if (::mkdirat(at_.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return failed("cannot be made");
            fd.reset(::openat(at_.get(), name.c_str(), flags));
        }
        if (!fd.valid()) {
            const int error = errno;
            struct stat info {};
            if (::fstatat(at_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISLNK(info.st_mode)) return problem(Problem::Kind::wrongKind, "is a symbolic link, not a folder");
                if (!S_ISDIR(info.st_mode)) return problem(Problem::Kind::wrongKind, "is not a folder");
            }
            errno = error;
            return failed("cannot be read");
        }
        struct stat info {};
        if (::fstat(fd.get(), &info) != 0) return failed("cannot be read");
        if (auto ours = owned(info); !ours) return std::unexpected(ours.error());
        // Only what others may do goes: a folder the user made read-only stays so.
        if ((info.st_mode & 07077) != 0 && ::fchmod(fd.get(), info.st_mode & 0700) != 0)
            return failed("cannot be made private");
        return PrivateFiles::Folder::ready;
    }

private:
    // The unmapped owner's link stands for root's only where no other could
    // have put it: in a folder that others cannot change.
    bool linkTrusted(uid_t owner) const {
        struct stat holder {};
        return lookedIn_ != nullptr || trusted(owner) ||
               (owner == unmappedRoot_ && ::fstat(at_.get(), &holder) == 0 && !othersMayWrite(holder));
    }

    static std::optional<std::string> linkTarget(int link) {
        std::vector<char> buffer(PATH_MAX);
        const ssize_t length = ::readlinkat(link, "", buffer.data(), buffer.size());
        if (length < 0) return std::nullopt;
        if (static_cast<std::size_t>(length) >= buffer.size()) {
            errno = ENAMETOOLONG;
            return std::nullopt;
        }
        return std::string(buffer.data(), static_cast<std::size_t>(length));
    }

    // The system's own path to the account's folders: those above its home in
    // the password database and above its runtime folder, where the system
    // puts them. Only there does an unmapped owner stand for root; anywhere
    // else it may be any account outside, which could swap what it holds.
    const std::set<Identity>& systemPath() const {
        if (systemPath_) return *systemPath_;
        systemPath_.emplace();
        std::vector<std::string> places{fmt::format("/run/user/{}", ::geteuid())};
        if (auto home = UserFolders::accountHome()) places.push_back(std::move(*home));
        if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/')
            places.emplace_back(runtime);
        for (const auto& place : places) {
            if (Walk walk(*systemPath_); walk.start()) (void)walk.through(partsOf(place), false);
        }
        return *systemPath_;
    }

    std::set<Identity>* lookedIn_ = nullptr;
    mutable std::optional<std::set<Identity>> systemPath_;
    const std::optional<uid_t> unmappedRoot_ = unmappedRoot();
    FileDescriptor at_;
    std::filesystem::path path_;
};

} // namespace

std::string PrivateFiles::reason(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::expected<PrivateFiles::Folder, Problem> PrivateFiles::folder(const std::filesystem::path& folder, bool create) {
    if (folder.empty()) {
        errno = ENOENT;
        if (!create) return Folder::missing;
        return failed("cannot be made");
    }
    std::error_code error;
    // Not folded as text: ".." after a link leads above the link's target.
    const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    if (error) return problem(Problem::Kind::failed, "cannot be found: " + error.message());
    auto parts = partsOf(absolute);
    // "/" is a folder like any above the state; "a/.." names no folder of its own.
    if (parts.empty() || parts.back() == "..") return problem(Problem::Kind::wrongKind, "is not a folder of its own");
    const std::string name = parts.back();
    parts.pop_back();

    Walk walk;
    if (!walk.start()) return failed("cannot be reached");
    if (auto checked = walk.check(); !checked) return std::unexpected(checked.error());
    auto reached = walk.through(std::move(parts), create);
    if (!reached) return std::unexpected(reached.error());
    if (*reached == Folder::missing) return Folder::missing;
    return walk.last(name, create);
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
