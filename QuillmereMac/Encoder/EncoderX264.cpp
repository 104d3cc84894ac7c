#include "QuillmereMac/Encoder/EncoderX264.h"

#include "Platform/SystemInfo/UsableProcessors.h"
#include "QuillmereMac/Encoder/EncoderRateControl.h"
#include "QuillmereMac/Encoder/EncoderThreading.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

extern "C" {
#include <x264.h>
}

namespace quillmere {
namespace {

constexpr std::int64_t keyintUnlimited = 1 << 30;
constexpr int bt709 = 1;
constexpr int macroblock = 16;

std::int64_t keyframeInterval(const EncoderConfig& config) {
    const double frames = std::trunc(config.maxKeyframeIntervalSeconds * config.fps);
    if (!(frames >= 1) || frames >= static_cast<double>(keyintUnlimited)) return keyintUnlimited;
    return static_cast<std::int64_t>(frames);
}

// The same names and read-back texts as the libavcodec path records.
std::vector<EncoderPropertyStatus> recordsFor(const EncoderConfig& config) {
    const auto bitsPerSecond = static_cast<std::int64_t>(config.bitrateKbps) * 1000;
    auto made = [](const char* name, std::string value) {
        return EncoderPropertyStatus{name, true, 0, std::move(value)};
    };
    return {
        made("RealTime", "zerolatency"),
        made("AllowFrameReordering", "0"),
        made("ProfileLevel", "high"),
        made("MaxFrameDelayCount", "0"),
        made("ExpectedFrameRate", fmt::format("{}/1", config.fps)),
        made("AverageBitRate", std::to_string(bitsPerSecond)),
        EncoderPropertyStatus{"MaxKeyFrameIntervalDuration", false, EncoderPropertyStatus::notSupported, std::nullopt},
        made("MaxKeyFrameInterval", std::to_string(keyframeInterval(config))),
        made("ColorPrimaries", "bt709"),
        made("TransferFunction", "bt709"),
        made("YCbCrMatrix", "bt709"),
    };
}

} // namespace

struct EncoderX264::Codec {
    x264_t* encoder = nullptr;
    x264_param_t param{};
    std::optional<EncoderRateControl> rate;
    // Keyframes are placed here, not by x264, so the rate control knows a
    // frame will code every macroblock before it picks its quantizer.
    std::int64_t keyframeInterval = keyintUnlimited;
    std::int64_t sinceKeyframe = -1;
    int macroblockCount = 0;
    std::vector<EncoderPropertyStatus> properties;

    ~Codec() {
        if (encoder) x264_encoder_close(encoder);
    }
};

std::expected<std::unique_ptr<EncoderX264>, EncoderError> EncoderX264::open(const EncoderConfig& config) {
    if (config.codec != EncoderConfig::Codec::h264) return std::unexpected(EncoderError::hardwareUnavailable());
    if (config.width < 1 || config.height < 1 || config.fps < 1)
        return std::unexpected(EncoderError::sessionCreation(-EINVAL));
    if (config.width % 2 != 0 || config.height % 2 != 0) return std::unexpected(EncoderError::prepare(-EINVAL));

    auto codec = std::make_unique<Codec>();
    x264_param_t& param = codec->param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0)
        return std::unexpected(EncoderError::prepare(-EINVAL));
    param.i_log_level = X264_LOG_ERROR;
    param.i_bitdepth = 8;
    param.i_csp = X264_CSP_NV12;
    param.i_width = config.width;
    param.i_height = config.height;
    param.i_fps_num = static_cast<std::uint32_t>(config.fps);
    param.i_fps_den = 1;
    // Capture times in nanoseconds are the presentation times.
    param.i_timebase_num = 1;
    param.i_timebase_den = 1'000'000'000;
    param.i_bframe = 0;
    param.rc.i_lookahead = 0;
    param.i_keyint_max = static_cast<int>(keyintUnlimited);
    codec->keyframeInterval = keyframeInterval(config);
    // Keyframes come when asked for or at the interval, never because the
    // picture changed a lot.
    param.i_scenecut_threshold = 0;
    const auto threads = EncoderThreading::choose(UsableProcessors::count(), config.width, config.height, config.fps);
    param.i_threads = threads.sliceThreads;
    param.b_sliced_threads = 1;
    // Lookahead threads would only share the quarter-size pass, which
    // constant quantizers skip.
    param.i_lookahead_threads = 1;
    // A quantizer per frame from our own rate control: x264's would price
    // every frame on a quarter-size copy first.
    param.rc.i_rc_method = X264_RC_CQP;
    // Every frame brings its own. x264 clamps it to the range its constant
    // quantizer and the I and B offsets span: these open that range to
    // EncoderRateControl's (there are no B frames).
    param.rc.i_qp_constant = EncoderRateControl::lowestQuantizer + 20;
    param.rc.f_ip_factor = std::exp2(20.0f / 6);
    param.rc.f_pb_factor =
        std::exp2(static_cast<float>(EncoderRateControl::highestQuantizer - param.rc.i_qp_constant) / 6);
    codec->rate.emplace(static_cast<std::int64_t>(config.bitrateKbps) * 1000, config.fps,
                        config.lowLatencyRateControl);
    param.vui.i_colorprim = bt709;
    param.vui.i_transfer = bt709;
    param.vui.i_colmatrix = bt709;
    param.vui.b_fullrange = 0;
    param.b_repeat_headers = 1;
    param.b_annexb = 1;
    param.analyse.b_mb_info = 1;
    if (x264_param_apply_profile(&param, "high") < 0) return std::unexpected(EncoderError::prepare(-EINVAL));

    codec->encoder = x264_encoder_open(&param);
    if (codec->encoder == nullptr) return std::unexpected(EncoderError::prepare(-EINVAL));
    codec->macroblockCount =
        ((config.width + macroblock - 1) / macroblock) * ((config.height + macroblock - 1) / macroblock);
    codec->properties = recordsFor(config);
    return std::unique_ptr<EncoderX264>(new EncoderX264(std::move(codec)));
}

EncoderX264::EncoderX264(std::unique_ptr<Codec> codec) : codec_(std::move(codec)) {}

EncoderX264::~EncoderX264() = default;

const std::vector<EncoderPropertyStatus>& EncoderX264::properties() const { return codec_->properties; }

void EncoderX264::setBitrate(std::int64_t bitsPerSecond) { codec_->rate->setBitrate(bitsPerSecond); }

std::int32_t EncoderX264::encode(const PixelBuffer& pixels, std::shared_ptr<void>, std::int64_t pts,
                                 bool forceKeyframe, std::span<const std::uint8_t> constantMacroblocks,
                                 const PacketSink& sink) {
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
        picture.img.plane[plane] = pixels.planeBaseAddress(static_cast<std::size_t>(plane));
        picture.img.i_stride[plane] = static_cast<int>(pixels.planeBytesPerRow(static_cast<std::size_t>(plane)));
    }
    picture.i_pts = pts;
    const bool keyframe = forceKeyframe || codec_->sinceKeyframe < 0 ||
                          codec_->sinceKeyframe + 1 >= codec_->keyframeInterval;
    picture.i_type = keyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    int coded = codec_->macroblockCount;
    if (!keyframe && constantMacroblocks.size() == static_cast<std::size_t>(codec_->macroblockCount)) {
        coded -= static_cast<int>(std::count_if(constantMacroblocks.begin(), constantMacroblocks.end(),
                                                [](std::uint8_t constant) { return constant != 0; }));
        // x264 may hold the map past this call; it frees its own copy.
        auto* map = static_cast<std::uint8_t*>(std::malloc(constantMacroblocks.size()));
        if (map == nullptr) return -ENOMEM;
        for (std::size_t i = 0; i < constantMacroblocks.size(); ++i)
            map[i] = constantMacroblocks[i] ? X264_MBINFO_CONSTANT : 0;
        picture.prop.mb_info = map;
        picture.prop.mb_info_free = std::free;
    }
    const int quantizer = codec_->rate->quantizer(coded, keyframe);
    picture.i_qpplus1 = quantizer + 1;

    // x264 copies the pixels in before it returns, so keepAlive may go now.
    x264_nal_t* nals = nullptr;
    int nalCount = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(codec_->encoder, &nals, &nalCount, &picture, &out);
    if (size < 0) return -EINVAL;
    codec_->sinceKeyframe = out.b_keyframe ? 0 : codec_->sinceKeyframe + 1;
    codec_->rate->encoded(size, quantizer, coded, out.b_keyframe != 0);
    if (size == 0 || nalCount == 0) return 0;
    // The payloads of one call lie back to back.
    sink(Packet{ByteView(nals[0].p_payload, static_cast<std::size_t>(size)), out.b_keyframe != 0, out.i_pts});
    return 0;
}

} // namespace quillmere
