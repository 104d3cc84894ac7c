#include "QuillmereViewer/DecodedPicture.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace quillmere {

void DecodedPicture::Free::operator()(AVFrame* frame) const { av_frame_free(&frame); }

DecodedPicture DecodedPicture::referencing(const AVFrame* frame) {
    DecodedPicture picture;
    AVFrame* copy = av_frame_alloc();
    if (copy != nullptr) av_frame_ref(copy, frame);
    picture.frame_ = std::shared_ptr<AVFrame>(copy, Free{});
    return picture;
}

int DecodedPicture::width() const { return frame_ ? frame_->width : 0; }
int DecodedPicture::height() const { return frame_ ? frame_->height : 0; }

std::uint8_t DecodedPicture::luma(int x, int y) const {
    return frame_->data[0][static_cast<std::ptrdiff_t>(y) * frame_->linesize[0] + x];
}

} // namespace quillmere
