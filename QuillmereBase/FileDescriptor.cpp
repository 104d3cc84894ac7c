#include "QuillmereBase/FileDescriptor.h"

#include <unistd.h>

namespace quillmere {

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

bool FileDescriptor::close() {
    const int fd = release();
    return fd >= 0 && ::close(fd) == 0;
}

} // namespace quillmere
