#include "Platform/ScreenCapture/ShmSegmentX11.h"

#include "Platform/X11/XcbConnection.h"

#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

namespace quillmere {

std::expected<std::unique_ptr<ShmSegmentX11>, ScreenCaptureError> ShmSegmentX11::make(XcbConnection& connection,
                                                                                      std::size_t size) {
    if (!connection.extensions().shmFd) {
        return std::unexpected(ScreenCaptureError::make(ScreenCaptureError::failedToStart, "MIT-SHM 1.2 is missing"));
    }
    xcb_connection_t* c = connection.get();
    const xcb_shm_seg_t segment = xcb_generate_id(c);
    xcb_generic_error_t* rawError = nullptr;
    XcbReply<xcb_shm_create_segment_reply_t> reply(xcb_shm_create_segment_reply(
        c, xcb_shm_create_segment(c, segment, static_cast<std::uint32_t>(size), 0), &rawError));
    XcbReply<xcb_generic_error_t> error(rawError);
    if (!reply || reply->nfd != 1) {
        return std::unexpected(ScreenCaptureError::make(
            ScreenCaptureError::internalError,
            fmt::format("shared memory of {} bytes: {}", size, error ? describeXcbError(*error) : "no segment")));
    }
    const int fd = xcb_shm_create_segment_reply_fds(c, reply.get())[0];
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (data == MAP_FAILED) {
        xcb_shm_detach(c, segment);
        return std::unexpected(ScreenCaptureError::make(ScreenCaptureError::internalError,
                                                        fmt::format("cannot map {} bytes of shared memory", size)));
    }
    return std::unique_ptr<ShmSegmentX11>(
        new ShmSegmentX11(connection, segment, static_cast<std::uint8_t*>(data), size));
}

ShmSegmentX11::~ShmSegmentX11() {
    xcb_shm_detach(connection_.get(), segment_);
    xcb_flush(connection_.get());
    munmap(data_, size_);
}

} // namespace quillmere
