#include "QuillmereBase/FileDescriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace quillmere {
namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A pipe's two ends, each owned.
struct Pipe {
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read = FileDescriptor(fds[0]);
        write = FileDescriptor(fds[1]);
    }
    FileDescriptor read;
    FileDescriptor write;
};

TEST(FileDescriptor, ClosesWhatItHoldsExactlyOnce) {
    Pipe pipe;
    const int raw = pipe.read.get();
    {
        FileDescriptor moved(std::move(pipe.read));
        EXPECT_FALSE(pipe.read.valid());
        EXPECT_EQ(moved.get(), raw);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw)) << "closed when its owner went";

    const int other = pipe.write.get();
    FileDescriptor target;
    target = std::move(pipe.write);
    target = FileDescriptor();
    EXPECT_FALSE(isOpen(other)) << "closed when replaced";
}

TEST(FileDescriptor, ReleaseKeepsItOpenAndCloseReportsTheOutcome) {
    Pipe pipe;
    const int raw = pipe.read.release();
    EXPECT_FALSE(pipe.read.valid());
    EXPECT_TRUE(isOpen(raw));
    FileDescriptor again(raw);
    EXPECT_TRUE(again.close());
    EXPECT_FALSE(isOpen(raw));
    EXPECT_FALSE(again.close()) << "nothing left to close";
}

} // namespace
} // namespace quillmere
