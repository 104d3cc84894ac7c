#include "QuillmereMac/Diagnostics/PerfLogFile.h"

#include "Platform/Keychain/AtomicFile.h"

#include "QuillmereBase/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace quillmere {

PerfLogFile::Folder PerfLogFile::prepareFolder(const std::filesystem::path& folder) {
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return Folder::failed;
    }
    const FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0) return Folder::failed;
    if (info.st_uid != ::geteuid()) return Folder::foreign;
    if ((info.st_mode & 0777) != 0700 && ::fchmod(fd.get(), 0700) != 0) return Folder::failed;
    return Folder::ready;
}

void PerfLogFile::append(std::string_view line) const {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file_, error);
    if (!error && size + line.size() > maxBytes) cut();

    const int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    while (!line.empty()) {
        const ssize_t written = ::write(fd, line.data(), line.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        line.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(fd);
}

void PerfLogFile::cut() const {
    const auto bytes = AtomicFile::read(file_);
    if (!bytes || bytes->size() <= keptBytes) return;
    auto from = bytes->end() - static_cast<std::ptrdiff_t>(keptBytes);
    // Mid-line: the rest of that line goes too.
    if (*(from - 1) != '\n') {
        from = std::find(from, bytes->end(), static_cast<std::uint8_t>('\n'));
        if (from != bytes->end()) ++from;
    }
    const Bytes kept(from, bytes->end());
    AtomicFile::replace(file_.parent_path(), file_.filename().string(), kept);
}

} // namespace quillmere
