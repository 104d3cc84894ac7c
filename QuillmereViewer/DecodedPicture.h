#pragma once

#include <cstdint>
#include <memory>

struct AVFrame;

namespace quillmere {

// One picture out of the video decoder, 8-bit planar YUV. Owns its frame.
class DecodedPicture {
public:
    // Takes a reference to the frame's buffers.
    static DecodedPicture referencing(const AVFrame* frame);

    int width() const;
    int height() const;
    std::uint8_t luma(int x, int y) const;
    const AVFrame& frame() const { return *frame_; }

private:
    struct Free {
        void operator()(AVFrame* frame) const;
    };
    std::shared_ptr<AVFrame> frame_;
};

} // namespace quillmere
