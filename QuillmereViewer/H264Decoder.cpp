#include "QuillmereViewer/H264Decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <fmt/format.h>

namespace quillmere {
namespace {

std::string errorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

} // namespace

std::expected<std::unique_ptr<H264Decoder>, std::string> H264Decoder::make() {
    // Every failure comes back with its frame; the library's own lines on
    // standard error would only repeat them out of order.
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) return std::unexpected(std::string("libavcodec has no H.264 decoder"));
    std::unique_ptr<H264Decoder> decoder(new H264Decoder());
    decoder->context_ = avcodec_alloc_context3(codec);
    decoder->frame_ = av_frame_alloc();
    decoder->packet_ = av_packet_alloc();
    if (decoder->context_ == nullptr || decoder->frame_ == nullptr || decoder->packet_ == nullptr)
        return std::unexpected(std::string("out of memory for the H.264 decoder"));
    AVCodecContext* context = decoder->context_;
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Error resilience stays on: with it off, libavcodec flags every picture
    // coded in several slices (the host's encoder slices its frames) as
    // damaged. Real damage still fails the unit or shows in the error flags.
    context->err_recognition |= AV_EF_BITSTREAM | AV_EF_EXPLODE;
    if (const int opened = avcodec_open2(context, codec, nullptr); opened < 0)
        return std::unexpected(fmt::format("the H.264 decoder did not open: {}", errorText(opened)));
    return decoder;
}

H264Decoder::~H264Decoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

void H264Decoder::configure(const StreamConfig& config) { parameterSets_ = config.parameterSets; }

Bytes H264Decoder::accessUnit(const std::vector<Bytes>& parameterSets, const AssembledFrame& frame) {
    static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
    Bytes unit;
    if (frame.flags.contains(MediaHeader::Flags::keyframe)) {
        for (const Bytes& set : parameterSets) {
            unit.insert(unit.end(), std::begin(startCode), std::end(startCode));
            unit.insert(unit.end(), set.begin(), set.end());
        }
    }
    unit.insert(unit.end(), frame.data.begin(), frame.data.end());
    return unit;
}

DecodeResult H264Decoder::decode(const AssembledFrame& frame) {
    DecodeResult result;
    Bytes unit = accessUnit(parameterSets_, frame);
    const auto size = unit.size();
    unit.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet_->data = unit.data();
    packet_->size = static_cast<int>(size);
    const int sent = avcodec_send_packet(context_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (sent < 0) {
        result.error = fmt::format("frame {} did not decode: {}", frame.frameID, errorText(sent));
        // Drain whatever the failed unit left, so the next one starts clean.
        while (avcodec_receive_frame(context_, frame_) == 0) av_frame_unref(frame_);
        return result;
    }
    for (;;) {
        const int received = avcodec_receive_frame(context_, frame_);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) break;
        if (received < 0) {
            result.error = fmt::format("frame {} did not decode: {}", frame.frameID, errorText(received));
            break;
        }
        if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame_->decode_error_flags != 0)
            result.error = fmt::format("frame {} decoded with damage", frame.frameID);
        result.pictures.push_back(DecodedPicture::referencing(frame_));
        av_frame_unref(frame_);
    }
    if (result.pictures.empty() && !result.error)
        result.error = fmt::format("frame {} gave no picture", frame.frameID);
    return result;
}

} // namespace quillmere
