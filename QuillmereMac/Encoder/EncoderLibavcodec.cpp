#include "QuillmereMac/Encoder/EncoderLibavcodec.h"

#include "Platform/SystemInfo/UsableProcessors.h"
#include "QuillmereMac/Encoder/EncoderThreading.h"
#include "QuillmereMac/Encoder/KeyframeSchedule.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <mutex>

namespace quillmere {
namespace {

// A setting as the encoder knows it: an option name and the value in its
// text form; no option means the encoder offers nothing for it.
struct Setting {
    const char* name;
    const char* option;
    std::string value;
};

constexpr std::int64_t keyintUnlimited = 1 << 30;

void quietLibraryLog() {
    static std::once_flag once;
    // x264's banner and per-stream statistics would otherwise go to stderr.
    std::call_once(once, [] {
        if (av_log_get_level() > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
    });
}

std::int64_t keyframeInterval(const EncoderConfig& config) {
    const double frames = std::trunc(config.maxKeyframeIntervalSeconds * config.fps);
    // No limit, as 0 means to the caller; and nothing past what the encoder counts.
    if (!(frames >= 1) || frames >= static_cast<double>(keyintUnlimited)) return keyintUnlimited;
    return static_cast<std::int64_t>(frames);
}

std::vector<Setting> settingsFor(const EncoderConfig& config, EncoderLibavcodec::Backend backend,
                                 std::optional<int> maxFrameDelay) {
    const bool x264 = backend == EncoderLibavcodec::Backend::libx264;
    const int delay = maxFrameDelay.value_or(x264 ? 0 : 1);
    const bool hevc = config.codec == EncoderConfig::Codec::hevc;
    const auto bitsPerSecond = static_cast<std::int64_t>(config.bitrateKbps) * 1000;
    return {
        {"RealTime", x264 ? "tune" : nullptr, "zerolatency"},
        {"AllowFrameReordering", "bf", "0"},
        {"ProfileLevel", "profile", hevc ? "main" : "high"},
        {"MaxFrameDelayCount", x264 ? "rc-lookahead" : "async_depth", std::to_string(delay)},
        {"ExpectedFrameRate", nullptr, std::to_string(config.fps)}, // set on the context itself, below
        {"AverageBitRate", "b", std::to_string(bitsPerSecond)},
        {"MaxKeyFrameIntervalDuration", nullptr, fmt::format("{}", config.maxKeyframeIntervalSeconds)}, // below
        {"MaxKeyFrameInterval", "g", std::to_string(keyframeInterval(config))},
        {"ColorPrimaries", "color_primaries", "bt709"},
        {"TransferFunction", "color_trc", "bt709"},
        {"YCbCrMatrix", "colorspace", "bt709"},
    };
}

std::optional<std::string> readOption(AVCodecContext* context, const char* option) {
    std::uint8_t* text = nullptr;
    if (av_opt_get(context, option, AV_OPT_SEARCH_CHILDREN, &text) < 0 || text == nullptr) return std::nullopt;
    std::string value(reinterpret_cast<const char*>(text));
    av_free(text);
    return value;
}

void releaseKeepAlive(void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<void>*>(opaque); }

} // namespace

struct EncoderLibavcodec::Codec {
    Backend backend = Backend::libx264;
    bool lowLatency = true;
    // Keyframes come at least this often in time, however few frames came
    // between.
    KeyframeSchedule keyframes{std::nullopt};
    AVCodecContext* context = nullptr;
    AVBufferRef* device = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* surface = nullptr;
    AVPacket* packet = nullptr;
    std::vector<EncoderPropertyStatus> properties;

    ~Codec() {
        av_packet_free(&packet);
        av_frame_free(&surface);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        av_buffer_unref(&device);
    }
};

std::vector<std::string> EncoderLibavcodec::renderNodes() {
    std::vector<std::string> nodes;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        if (entry.path().filename().string().starts_with("renderD")) nodes.push_back(entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

std::string EncoderLibavcodec::statusText(std::int32_t status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

std::expected<std::unique_ptr<EncoderLibavcodec>, EncoderError> EncoderLibavcodec::open(const EncoderConfig& config,
                                                                                       Backend backend,
                                                                                       const std::string& renderNode,
                                                                                       std::optional<int> maxFrameDelay) {
    quietLibraryLog();
    const bool hevc = config.codec == EncoderConfig::Codec::hevc;
    const char* name = backend == Backend::libx264 ? (hevc ? nullptr : "libx264") : (hevc ? "hevc_vaapi" : "h264_vaapi");
    const AVCodec* found = name ? avcodec_find_encoder_by_name(name) : nullptr;
    if (found == nullptr) return std::unexpected(EncoderError::hardwareUnavailable());
    if (config.width < 1 || config.height < 1 || config.fps < 1)
        return std::unexpected(EncoderError::sessionCreation(AVERROR(EINVAL)));

    // 4:2:0 has no odd sides; libx264 would refuse them only after leaking
    // what it parsed.
    if (config.width % 2 != 0 || config.height % 2 != 0) return std::unexpected(EncoderError::prepare(AVERROR(EINVAL)));

    auto codec = std::make_unique<Codec>();
    codec->backend = backend;
    codec->lowLatency = config.lowLatencyRateControl;
    codec->context = avcodec_alloc_context3(found);
    codec->frame = av_frame_alloc();
    codec->packet = av_packet_alloc();
    if (!codec->context || !codec->frame || !codec->packet)
        return std::unexpected(EncoderError::sessionCreation(AVERROR(ENOMEM)));

    AVCodecContext* context = codec->context;
    context->width = config.width;
    context->height = config.height;
    // Capture times in nanoseconds are the presentation times.
    context->time_base = AVRational{1, 1'000'000'000};
    context->color_range = AVCOL_RANGE_MPEG;
    context->max_b_frames = 0;

    if (backend == Backend::vaapi) {
        int status = av_hwdevice_ctx_create(&codec->device, AV_HWDEVICE_TYPE_VAAPI, renderNode.c_str(), nullptr, 0);
        if (status < 0) return std::unexpected(EncoderError::sessionCreation(status));
        AVBufferRef* frames = av_hwframe_ctx_alloc(codec->device);
        if (frames == nullptr) return std::unexpected(EncoderError::sessionCreation(AVERROR(ENOMEM)));
        auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
        framesContext->format = AV_PIX_FMT_VAAPI;
        framesContext->sw_format = AV_PIX_FMT_NV12;
        framesContext->width = config.width;
        framesContext->height = config.height;
        framesContext->initial_pool_size = 4;
        status = av_hwframe_ctx_init(frames);
        if (status < 0) {
            av_buffer_unref(&frames);
            return std::unexpected(EncoderError::sessionCreation(status));
        }
        context->hw_frames_ctx = frames;
        context->pix_fmt = AV_PIX_FMT_VAAPI;
        codec->surface = av_frame_alloc();
        if (codec->surface == nullptr) return std::unexpected(EncoderError::sessionCreation(AVERROR(ENOMEM)));
    } else {
        context->pix_fmt = AV_PIX_FMT_NV12;
        // Slices, not frames, in parallel: frame threads hold frames back.
        context->thread_type = FF_THREAD_SLICE;
        const auto threads =
            EncoderThreading::choose(UsableProcessors::count(), config.width, config.height, config.fps);
        context->thread_count = threads.sliceThreads;
        av_opt_set(context->priv_data, "x264-params",
                   fmt::format("lookahead-threads={}", threads.lookaheadThreads).c_str(), 0);
        av_opt_set(context->priv_data, "preset", "ultrafast", 0);
        // Keyframes come when asked for or at the interval, always as IDR,
        // never because the picture changed a lot.
        av_opt_set(context->priv_data, "forced-idr", "1", 0);
        av_opt_set_int(context, "sc_threshold", 0, AV_OPT_SEARCH_CHILDREN);
    }

    for (const Setting& setting : settingsFor(config, backend, maxFrameDelay)) {
        EncoderPropertyStatus record{setting.name, false, EncoderPropertyStatus::notSupported, std::nullopt};
        if (std::string_view(setting.name) == "ExpectedFrameRate") {
            context->framerate = AVRational{config.fps, 1};
            record.supported = true;
            record.status = 0;
            record.readBack = fmt::format("{}/{}", context->framerate.num, context->framerate.den);
        } else if (std::string_view(setting.name) == "MaxKeyFrameIntervalDuration") {
            // Kept here: encode forces the keyframe when the time comes.
            const double ns = config.maxKeyframeIntervalSeconds * 1e9;
            if (ns >= 1 && ns < 9e18) codec->keyframes = KeyframeSchedule(static_cast<std::int64_t>(ns));
            record.supported = true;
            record.status = 0;
            record.readBack = setting.value;
        } else if (setting.option && av_opt_find(context, setting.option, nullptr, 0, AV_OPT_SEARCH_CHILDREN)) {
            record.supported = true;
            record.status = av_opt_set(context, setting.option, setting.value.c_str(), AV_OPT_SEARCH_CHILDREN);
            record.readBack = readOption(context, setting.option);
        }
        codec->properties.push_back(std::move(record));
    }
    if (config.lowLatencyRateControl) {
        // Capped rate with a quarter second of buffer, as the software path.
        context->rc_max_rate = context->bit_rate;
        context->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(context->bit_rate / 4, INT32_MAX));
    }

    const int status = avcodec_open2(context, found, nullptr);
    if (status < 0) return std::unexpected(EncoderError::prepare(status));
    return std::unique_ptr<EncoderLibavcodec>(new EncoderLibavcodec(std::move(codec)));
}

EncoderLibavcodec::EncoderLibavcodec(std::unique_ptr<Codec> codec) : codec_(std::move(codec)) {}

EncoderLibavcodec::~EncoderLibavcodec() = default;

EncoderLibavcodec::Backend EncoderLibavcodec::backend() const { return codec_->backend; }

const std::vector<EncoderPropertyStatus>& EncoderLibavcodec::properties() const { return codec_->properties; }

bool EncoderLibavcodec::changesBitrateLive() const { return codec_->backend == Backend::libx264; }

void EncoderLibavcodec::setBitrate(std::int64_t bitsPerSecond) {
    // libx264 picks the change up at the next frame and reconfigures itself.
    AVCodecContext* context = codec_->context;
    context->bit_rate = bitsPerSecond;
    if (codec_->lowLatency) {
        context->rc_max_rate = bitsPerSecond;
        context->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(bitsPerSecond / 4, INT32_MAX));
    }
}

std::int32_t EncoderLibavcodec::encode(const PixelBuffer& pixels, std::shared_ptr<void> keepAlive, std::int64_t pts,
                                       bool forceKeyframe, std::span<const std::uint8_t>, Purpose,
                                       const PacketSink& sink) {
    AVCodecContext* context = codec_->context;
    AVFrame* frame = codec_->frame;
    frame->format = AV_PIX_FMT_NV12;
    frame->width = pixels.width();
    frame->height = pixels.height();
    for (std::size_t plane = 0; plane < 2; ++plane) {
        frame->data[plane] = pixels.planeBaseAddress(plane);
        frame->linesize[plane] = static_cast<int>(pixels.planeBytesPerRow(plane));
    }
    // The codec holds this reference for as long as it reads the pixels, so
    // nothing copies them into a buffer of libavcodec's own.
    const std::size_t lumaBytes = pixels.planeBytesPerRow(0) * static_cast<std::size_t>(pixels.planeHeight(0));
    frame->buf[0] = av_buffer_create(frame->data[0], lumaBytes, releaseKeepAlive,
                                     new std::shared_ptr<void>(std::move(keepAlive)), AV_BUFFER_FLAG_READONLY);
    if (frame->buf[0] == nullptr) {
        av_frame_unref(frame);
        return AVERROR(ENOMEM);
    }
    frame->pts = pts;
    frame->pict_type = codec_->keyframes.ask(pts, forceKeyframe) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame->color_range = AVCOL_RANGE_MPEG;

    AVFrame* input = frame;
    int status = 0;
    if (codec_->backend == Backend::vaapi) {
        AVFrame* surface = codec_->surface;
        status = av_hwframe_get_buffer(context->hw_frames_ctx, surface, 0);
        if (status >= 0) status = av_hwframe_transfer_data(surface, frame, 0);
        if (status >= 0) status = av_frame_copy_props(surface, frame);
        av_frame_unref(frame);
        if (status < 0) {
            av_frame_unref(surface);
            return status;
        }
        input = surface;
    }
    status = avcodec_send_frame(context, input);
    av_frame_unref(input);
    if (status < 0) return status;

    AVPacket* packet = codec_->packet;
    while ((status = avcodec_receive_packet(context, packet)) >= 0) {
        const bool keyframe = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (keyframe) codec_->keyframes.cameOut(packet->pts);
        sink(Packet{ByteView(packet->data, static_cast<std::size_t>(packet->size)), keyframe, packet->pts});
        av_packet_unref(packet);
    }
    return status == AVERROR(EAGAIN) || status == AVERROR_EOF ? 0 : status;
}

} // namespace quillmere
