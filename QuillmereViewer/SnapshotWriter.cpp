#include "QuillmereViewer/SnapshotWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <fmt/format.h>

#include <fstream>
#include <memory>

namespace quillmere {
namespace {

struct ContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScaleFree {
    void operator()(SwsContext* scale) const { sws_freeContext(scale); }
};

} // namespace

std::expected<SnapshotWriter, std::string> SnapshotWriter::open(std::filesystem::path folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder))
        return std::unexpected(fmt::format("the snapshot folder {} could not be made: {}", folder.string(),
                                           error ? error.message() : "not a folder"));
    return SnapshotWriter(std::move(folder));
}

std::expected<std::vector<std::uint8_t>, std::string> SnapshotWriter::encode(const DecodedPicture& picture) {
    const AVFrame& source = picture.frame();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (codec == nullptr) return std::unexpected(std::string("libavcodec has no PNG encoder"));
    std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, FrameFree> rgb(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    if (!context || !rgb || !packet) return std::unexpected(std::string("out of memory for a snapshot"));
    context->width = source.width;
    context->height = source.height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return std::unexpected(std::string("the PNG encoder did not open"));

    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = source.width;
    rgb->height = source.height;
    if (av_frame_get_buffer(rgb.get(), 0) < 0) return std::unexpected(std::string("out of memory for a snapshot"));
    std::unique_ptr<SwsContext, ScaleFree> scale(
        sws_getContext(source.width, source.height, static_cast<AVPixelFormat>(source.format), source.width,
                       source.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
    if (!scale) return std::unexpected(std::string("no conversion of the decoded picture to RGB"));
    // The picture's own matrix and range: the host sends BT.709 video range,
    // which swscale's default (BT.601) would turn into other colours.
    const int matrix = source.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_ITU709 : source.colorspace;
    const int fullRange = source.color_range == AVCOL_RANGE_JPEG || source.format == AV_PIX_FMT_YUVJ420P ? 1 : 0;
    sws_setColorspaceDetails(scale.get(), sws_getCoefficients(matrix), fullRange, sws_getCoefficients(SWS_CS_DEFAULT),
                             1, 0, 1 << 16, 1 << 16);
    sws_scale(scale.get(), source.data, source.linesize, 0, source.height, rgb->data, rgb->linesize);

    if (avcodec_send_frame(context.get(), rgb.get()) < 0 || avcodec_receive_packet(context.get(), packet.get()) < 0)
        return std::unexpected(std::string("the PNG encoder failed"));
    return std::vector<std::uint8_t>(packet->data, packet->data + packet->size);
}

std::expected<std::filesystem::path, std::string> SnapshotWriter::write(const DecodedPicture& picture,
                                                                        std::uint32_t number) const {
    auto png = encode(picture);
    if (!png) return std::unexpected(png.error());
    const auto path = folder_ / fmt::format("frame-{}.png", number);
    const auto partial = folder_ / fmt::format(".frame-{}.png.partial", number);
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(png->data()), static_cast<std::streamsize>(png->size()));
        if (!out) return std::unexpected(fmt::format("the snapshot {} could not be written", path.string()));
    }
    std::error_code error;
    std::filesystem::rename(partial, path, error);
    if (error) return std::unexpected(fmt::format("the snapshot {} could not be written: {}", path.string(), error.message()));
    return path;
}

} // namespace quillmere
