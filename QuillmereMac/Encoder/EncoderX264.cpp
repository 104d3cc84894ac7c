#include "QuillmereMac/Encoder/EncoderX264.h"

#include "Platform/SystemInfo/UsableProcessors.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Encoder/EncoderThreading.h"
#include "QuillmereMac/Encoder/KeyframeSchedule.h"
#include "QuillmereMac/Encoder/RateSettings.h"
#include "QuillmereMac/Encoder/RefinementLadder.h"

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
// The rate-control buffer: a quarter of a second of the rate for low
// latency, two seconds otherwise. It bounds keyframes as x264 would.
constexpr double lowLatencyBufferSeconds = 0.25;
constexpr double normalBufferSeconds = 2.0;
// Frames closer than this share the rate as if this far apart.
constexpr std::int64_t shortestIntervalNs = 1'000'000;
constexpr double boundedIntervals = 5;
constexpr double heldIntervals = 8;
// x264 silently clamps larger rates and buffers to this many kbit (a long
// frame interval at a high rate reaches it): asking no more keeps what it
// was told what it runs at.
constexpr long long x264LargestKbit = 2'000'000;

std::int64_t keyframeInterval(const EncoderConfig& config) {
    const double frames = std::trunc(config.maxKeyframeIntervalSeconds * config.fps);
    if (!(frames >= 1) || frames >= static_cast<double>(keyintUnlimited)) return keyintUnlimited;
    return static_cast<std::int64_t>(frames);
}

std::optional<std::int64_t> keyframeIntervalNs(const EncoderConfig& config) {
    const double ns = config.maxKeyframeIntervalSeconds * 1e9;
    if (!(ns >= 1) || ns >= 9e18) return std::nullopt;
    return static_cast<std::int64_t>(ns);
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
        made("MaxKeyFrameIntervalDuration", fmt::format("{}", config.maxKeyframeIntervalSeconds)),
        made("MaxKeyFrameInterval", std::to_string(keyframeInterval(config))),
        made("ColorPrimaries", "bt709"),
        made("TransferFunction", "bt709"),
        made("YCbCrMatrix", "bt709"),
    };
}

int kilobits(double bits) { return static_cast<int>(std::clamp(std::llround(bits / 1000), 1LL, x264LargestKbit)); }

const char* changeName(RateSettings::Change change) {
    return change == RateSettings::Change::rate ? "a new rate" : "a new buffer";
}

} // namespace

struct EncoderX264::Codec {
    x264_t* encoder = nullptr;
    int fps = 60;
    std::int64_t bitsPerSecond = 0;
    double bufferSeconds = lowLatencyBufferSeconds;
    // What x264 was last told: its rate for a frame interval of 1/fps, and
    // its buffer, both in kbit.
    RateSettings rates{RateSettings::Values{}};
    std::int64_t keyframeInterval = keyintUnlimited;
    KeyframeSchedule keyframes{std::nullopt};
    std::int64_t sinceKeyframe = -1;
    std::optional<std::int64_t> lastPts;
    std::optional<RefinementLadder> ladder;
    std::size_t macroblockCount = 0;
    std::vector<std::uint8_t> constantMap;
    // Macroblocks the frame before was to code.
    std::size_t lastCoded = 0;
    std::vector<EncoderPropertyStatus> properties;
    Logger log{"com.ornbeck.quillmere.mac", "pipeline"};

    ~Codec() {
        if (encoder) x264_encoder_close(encoder);
    }

    // x264 prices frames at a constant frame rate; a frame is given the
    // share its real interval earns by scaling the rate it is told for
    // it (its own timestamp mode holds every frame back until the next).
    void applyRate(std::int64_t intervalNs, bool keyframe, bool bounded) {
        const double seconds =
            static_cast<double>(std::clamp<std::int64_t>(intervalNs, shortestIntervalNs,
                                                         static_cast<std::int64_t>(bufferSeconds * 1e9))) /
            1e9;
        const int rate = kilobits(static_cast<double>(bitsPerSecond) * seconds * fps);
        // x264 lets a frame take about half its buffer, and holds the buffer
        // half full. Keyframes get the buffer as configured. A bounded
        // frame's holds five of its intervals, so that it takes about three
        // to send, and keeps no more credit after it. Other frames' buffer
        // holds at least eight intervals: at low frame rates a quarter
        // second is a few frames, and x264 would fall short of the rate
        // keeping it half full.
        const double held = keyframe  ? bufferSeconds
                            : bounded ? std::min(bufferSeconds, boundedIntervals * seconds)
                                      : std::max(bufferSeconds, heldIntervals * seconds);
        const int buffer = kilobits(static_cast<double>(bitsPerSecond) * held);
        const auto refused = rates.change({rate, buffer}, [this](const RateSettings::Values& asked) {
            x264_param_t param;
            x264_encoder_parameters(encoder, &param);
            param.rc.i_bitrate = asked.rateKbit;
            param.rc.i_vbv_max_bitrate = asked.rateKbit;
            param.rc.i_vbv_buffer_size = asked.bufferKbit;
            return x264_encoder_reconfig(encoder, &param) >= 0;
        });
        if (refused && refused->first) {
            log.error("x264 refused %{public}s: asked %{public}d kbit/s with a %{public}d kbit buffer, keeps "
                      "%{public}d kbit/s with %{public}d kbit",
                      changeName(refused->change), refused->asked.rateKbit, refused->asked.bufferKbit,
                      refused->kept.rateKbit, refused->kept.bufferKbit);
        }
    }

    // By frame count, as x264 counts; the time interval is the schedule's.
    bool countDue() const { return sinceKeyframe < 0 || sinceKeyframe + 1 >= keyframeInterval; }
};

std::expected<std::unique_ptr<EncoderX264>, EncoderError> EncoderX264::open(const EncoderConfig& config) {
    if (config.codec != EncoderConfig::Codec::h264) return std::unexpected(EncoderError::hardwareUnavailable());
    if (config.width < 1 || config.height < 1 || config.fps < 1)
        return std::unexpected(EncoderError::sessionCreation(-EINVAL));
    if (config.width % 2 != 0 || config.height % 2 != 0) return std::unexpected(EncoderError::prepare(-EINVAL));

    auto codec = std::make_unique<Codec>();
    x264_param_t param;
    if (x264_param_default_preset(&param, "ultrafast", "zerolatency") < 0)
        return std::unexpected(EncoderError::prepare(-EINVAL));
    param.i_log_level = X264_LOG_ERROR;
    param.i_bitdepth = 8;
    param.i_csp = X264_CSP_NV12;
    param.i_width = config.width;
    param.i_height = config.height;
    param.i_fps_num = static_cast<std::uint32_t>(config.fps);
    param.i_fps_den = 1;
    param.i_bframe = 0;
    param.rc.i_lookahead = 0;
    param.i_keyint_max = static_cast<int>(keyintUnlimited);
    // Keyframes come when asked for or at the interval, never because the
    // picture changed a lot.
    param.i_scenecut_threshold = 0;
    const auto threads = EncoderThreading::choose(UsableProcessors::count(), config.width, config.height, config.fps);
    param.i_threads = threads.sliceThreads;
    param.b_sliced_threads = 1;
    param.i_lookahead_threads = threads.lookaheadThreads;

    codec->fps = config.fps;
    codec->bitsPerSecond = static_cast<std::int64_t>(config.bitrateKbps) * 1000;
    codec->bufferSeconds = config.lowLatencyRateControl ? lowLatencyBufferSeconds : normalBufferSeconds;
    codec->rates = RateSettings({kilobits(static_cast<double>(codec->bitsPerSecond)),
                                 kilobits(static_cast<double>(codec->bitsPerSecond) * codec->bufferSeconds)});
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = codec->rates.applied().rateKbit;
    param.rc.i_vbv_max_bitrate = codec->rates.applied().rateKbit;
    param.rc.i_vbv_buffer_size = codec->rates.applied().bufferKbit;
    codec->keyframeInterval = keyframeInterval(config);
    codec->keyframes = KeyframeSchedule(keyframeIntervalNs(config));

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
    codec->macroblockCount = static_cast<std::size_t>((config.width + macroblock - 1) / macroblock) *
                             static_cast<std::size_t>((config.height + macroblock - 1) / macroblock);
    codec->ladder.emplace(codec->macroblockCount, refinementFloor, codec->bitsPerSecond);
    codec->properties = recordsFor(config);
    return std::unique_ptr<EncoderX264>(new EncoderX264(std::move(codec)));
}

EncoderX264::EncoderX264(std::unique_ptr<Codec> codec) : codec_(std::move(codec)) {}

EncoderX264::~EncoderX264() = default;

const std::vector<EncoderPropertyStatus>& EncoderX264::properties() const { return codec_->properties; }

std::int64_t EncoderX264::refusedSettings() const { return codec_->rates.refusals(); }

void EncoderX264::setBitrate(std::int64_t bitsPerSecond) {
    codec_->bitsPerSecond = std::max<std::int64_t>(bitsPerSecond, 1000);
    codec_->ladder->setBitrate(codec_->bitsPerSecond);
}

std::int32_t EncoderX264::encode(const PixelBuffer& pixels, std::shared_ptr<void>, std::int64_t pts,
                                 bool forceKeyframe, std::span<const std::uint8_t> constantMacroblocks,
                                 Purpose purpose, const PacketSink& sink) {
    Codec& codec = *codec_;
    x264_picture_t picture;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
        picture.img.plane[plane] = pixels.planeBaseAddress(static_cast<std::size_t>(plane));
        picture.img.i_stride[plane] = static_cast<int>(pixels.planeBytesPerRow(static_cast<std::size_t>(plane)));
    }
    picture.i_pts = pts;
    const bool keyframe = codec.keyframes.ask(pts, forceKeyframe || codec.countDue());
    picture.i_type = keyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
    const bool mapped = !keyframe && constantMacroblocks.size() == codec.macroblockCount;
    const bool refinement = mapped && purpose == Purpose::refinement;
    const std::size_t coded = mapped ? static_cast<std::size_t>(std::count(constantMacroblocks.begin(),
                                                                          constantMacroblocks.end(), std::uint8_t{0}))
                                     : codec.macroblockCount;
    // A frame that codes more than the one before (a window switched after
    // small changes) could otherwise spend all the credit saved up; a
    // refinement is never urgent.
    const bool bounded =
        !keyframe && (refinement || coded > codec.lastCoded + codec.macroblockCount / 64);
    codec.applyRate(codec.lastPts ? pts - *codec.lastPts : 1'000'000'000 / codec.fps, keyframe, bounded);
    codec.lastCoded = coded;
    codec.constantMap.clear();
    if (mapped) {
        codec.constantMap.assign(constantMacroblocks.begin(), constantMacroblocks.end());
        // x264 may hold the map past this call; it frees its own copy.
        auto* map = static_cast<std::uint8_t*>(std::malloc(constantMacroblocks.size()));
        if (map == nullptr) return -ENOMEM;
        for (std::size_t i = 0; i < constantMacroblocks.size(); ++i)
            map[i] = constantMacroblocks[i] ? X264_MBINFO_CONSTANT : 0;
        picture.prop.mb_info = map;
        picture.prop.mb_info_free = std::free;
    }
    // A refinement gets x264's own quantizer, which falls while frames cost
    // less than their share: x264 codes a macroblock told constant only
    // where the frame it keeps is coarser than that.

    // x264 copies the pixels in before it returns, so keepAlive may go now.
    x264_nal_t* nals = nullptr;
    int nalCount = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(codec.encoder, &nals, &nalCount, &picture, &out);
    if (size < 0) {
        codec.ladder->forget();
        return -EINVAL;
    }
    codec.lastPts = pts;
    if (size == 0 || nalCount == 0) return 0;
    codec.sinceKeyframe = out.b_keyframe ? 0 : codec.sinceKeyframe + 1;
    if (out.b_keyframe) codec.keyframes.cameOut(out.i_pts);
    codec.ladder->coded(out.b_keyframe != 0, refinement, codec.constantMap, out.i_qpplus1 - 1,
                        static_cast<std::size_t>(size));
    // The payloads of one call lie back to back.
    sink(Packet{ByteView(nals[0].p_payload, static_cast<std::size_t>(size)), out.b_keyframe != 0, out.i_pts,
                codec.ladder->refinable()});
    return 0;
}

} // namespace quillmere
