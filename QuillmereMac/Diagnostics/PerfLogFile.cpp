#include "QuillmereMac/Diagnostics/PerfLogFile.h"

#include "Platform/Keychain/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace quillmere {

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
