#pragma once

#include "QuillmereBase/Bytes.h"

#include <expected>

namespace quillmere {

// Owns one open file descriptor and closes it when it goes, so that no error
// path has to close by hand. Moves hand the descriptor over.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }

    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held (if any) and holds fd instead.
    void reset(int fd = -1);
    // Closes now; false when there was none or the close failed (written
    // data may then not have reached the file).
    bool close();

    // What is left to read, to the end; the errno of a failure.
    std::expected<Bytes, int> readToEnd() const;
    // All of bytes, however many writes it takes; the errno of a failure.
    std::expected<void, int> writeAll(ByteView bytes) const;

private:
    int fd_ = -1;
};

} // namespace quillmere
