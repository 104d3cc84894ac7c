#include "QuillmereMac/Diagnostics/PerfLogFile.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Keychain/AtomicFile.h"

#include "QuillmereBase/FileDescriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace quillmere {

namespace {

FileDescriptor openLog(const std::filesystem::path& file) {
    return FileDescriptor(::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
}

// The log's size; none when it is not the user's own plain file: anything
// else could block the host, and a file of another account (left from when
// the folder was open to others) is not the log.
std::optional<off_t> sizeOfOurs(const FileDescriptor& fd) {
    struct stat info {};
    if (!PrivateFiles::file(fd.get()) || ::fstat(fd.get(), &info) != 0) return std::nullopt;
    return info.st_size;
}

bool readAt(int fd, Bytes& into, off_t at) {
    for (std::size_t done = 0; done < into.size();) {
        const ssize_t n = ::pread(fd, into.data() + done, into.size() - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Where the file's last whole line ends.
std::optional<off_t> wholeLinesEnd(int fd, off_t size) {
    Bytes chunk(16384);
    for (off_t end = size; end > 0;) {
        const off_t from = std::max<off_t>(end - static_cast<off_t>(chunk.size()), 0);
        chunk.resize(static_cast<std::size_t>(end - from));
        if (!readAt(fd, chunk, from)) return std::nullopt;
        if (const auto feed = std::find(chunk.rbegin(), chunk.rend(), '\n'); feed != chunk.rend())
            return from + (chunk.rend() - feed);
        end = from;
    }
    return 0;
}

// A line cut short (a full disk, a file size limit, a host killed
// mid-write) goes before the next, and so does what this write leaves
// short: no reader meets half a record.
bool appendWhole(const FileDescriptor& log, off_t size, std::string_view line) {
    const int fd = log.get();
    std::uint8_t last = '\n';
    if (size > 0 && ::pread(fd, &last, 1, size - 1) != 1) return false;
    off_t end = size;
    if (last != '\n') {
        const auto whole = wholeLinesEnd(fd, size);
        if (!whole || ::ftruncate(fd, *whole) != 0) return false;
        end = *whole;
    }
    if (log.writeAll(ByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()))) return true;
    // Should this fail as well, the next append drops the part written.
    [[maybe_unused]] const int takenBack = ::ftruncate(fd, end);
    return false;
}

} // namespace

void PerfLogFile::ignoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

PerfLogFile::Outcome PerfLogFile::append(std::string_view line) const {
    FileDescriptor fd = openLog(file_);
    if (!fd.valid()) return errno == ELOOP ? Outcome::symbolicLink : Outcome::failed;
    auto size = sizeOfOurs(fd);
    if (!size) return Outcome::failed;
    if (static_cast<std::uintmax_t>(*size) + line.size() > maxBytes) {
        cut(fd.get(), static_cast<std::uintmax_t>(*size));
        // A cut that failed late may still have put the tail in its place.
        fd = openLog(file_);
        if (!fd.valid()) return errno == ELOOP ? Outcome::symbolicLink : Outcome::failed;
        if (!(size = sizeOfOurs(fd))) return Outcome::failed;
    }
    return appendWhole(fd, *size, line) ? Outcome::appended : Outcome::failed;
}

void PerfLogFile::cut(int fd, std::uintmax_t size) const {
    if (size <= keptBytes) return;
    // One byte more tells whether the kept part starts a line.
    Bytes tail(keptBytes + 1);
    if (!readAt(fd, tail, static_cast<off_t>(size - tail.size()))) return;
    auto from = tail.begin() + 1;
    // Mid-line: the rest of that line goes too.
    if (tail.front() != '\n') {
        from = std::find(from, tail.end(), static_cast<std::uint8_t>('\n'));
        if (from != tail.end()) ++from;
    }
    AtomicFile::replace(file_.parent_path(), file_.filename().string(),
                        ByteView(tail).subspan(static_cast<std::size_t>(from - tail.begin())));
}

} // namespace quillmere
