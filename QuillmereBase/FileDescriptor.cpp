#include "QuillmereBase/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>

namespace quillmere {

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

bool FileDescriptor::close() {
    const int fd = release();
    return fd >= 0 && ::close(fd) == 0;
}

std::expected<Bytes, int> FileDescriptor::readToEnd() const {
    Bytes out;
    std::uint8_t buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        if (n == 0) return out;
        out.insert(out.end(), buffer, buffer + n);
    }
}

std::expected<void, int> FileDescriptor::writeAll(ByteView bytes) const {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        // A write of nothing for something would loop for ever.
        if (n == 0) return std::unexpected(EIO);
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return {};
}

} // namespace quillmere
