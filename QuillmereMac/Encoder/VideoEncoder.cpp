#include "QuillmereMac/Encoder/VideoEncoder.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/PixelBuffer/PixelBufferPool.h"
#include "QuillmereMac/Encoder/AnnexB.h"
#include "QuillmereMac/Encoder/ConstantMacroblocks.h"
#include "QuillmereMac/Encoder/EncoderFactory.h"

#include <libyuv/convert_from_argb.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

namespace quillmere {
namespace {

// libavcodec's status for an argument it cannot take.
constexpr std::int32_t invalidArgument = -EINVAL;
constexpr std::int64_t latestPts = std::numeric_limits<std::int64_t>::max() / 2;

bool isParameterSet(std::uint8_t header, EncoderConfig::Codec codec) {
    if (codec == EncoderConfig::Codec::h264) {
        const int type = header & 0x1F;
        return type == 7 || type == 8; // SPS, PPS
    }
    const int type = (header >> 1) & 0x3F;
    return type >= 32 && type <= 34; // VPS, SPS, PPS
}

} // namespace

// A submitted frame's pixels, read-locked until the encoder lets go of them.
struct VideoEncoder::Input {
    PixelBufferRef buffer;
    ~Input() { buffer->unlockBaseAddress(PixelBuffer::Lock::readOnly); }
};

std::expected<std::shared_ptr<VideoEncoder>, EncoderError> VideoEncoder::make(EncoderConfig config, Output output,
                                                                              std::shared_ptr<Executor> queue) {
    // The codec's own threads take the name of the thread that opens it:
    // named so that profiles and per-thread counts tell them apart.
    char caller[16] = {};
    const bool named = pthread_getname_np(pthread_self(), caller, sizeof caller) == 0;
    if (named) pthread_setname_np(pthread_self(), "quill-codec");
    auto choice = EncoderFactory::make(config);
    if (named) pthread_setname_np(pthread_self(), caller);
    if (!choice) return std::unexpected(choice.error());
    return std::shared_ptr<VideoEncoder>(new VideoEncoder(std::move(config), std::move(output),
                                                          std::move(choice->session), choice->usingHardware,
                                                          std::move(choice->hardwareEvidence), std::move(queue)));
}

bool VideoEncoder::hevcHardwareAvailable() { return EncoderFactory::hevcHardwareAvailable(); }

VideoEncoder::VideoEncoder(EncoderConfig config, Output output, std::unique_ptr<EncoderSession> session,
                           bool usingHardware, std::string hardwareEvidence, std::shared_ptr<Executor> queue)
    : config_(std::move(config)),
      output_(std::move(output)),
      properties_(session->properties()),
      usingHardware_(usingHardware),
      hardwareEvidence_(std::move(hardwareEvidence)),
      changesBitrateLive_(session->changesBitrateLive()),
      skipsConstantMacroblocks_(session->skipsConstantMacroblocks()),
      session_(std::move(session)),
      given_(std::move(queue)),
      thread_(given_ ? nullptr : std::make_unique<SerialQueue>("com.ornbeck.quillmeremac.encoder")) {}

Executor& VideoEncoder::work() const { return given_ ? *given_ : *thread_; }

VideoEncoder::~VideoEncoder() {
    invalidate();
    // Waits for a frame being encoded; frames not started are dropped.
    thread_.reset();
}

VideoEncoder::Submission VideoEncoder::encode(const CapturedFrame& frame, bool forceKeyframe,
                                             const DirtyArea* changedSinceSubmitted, Purpose purpose) {
    Pending pending;
    {
        std::lock_guard guard(lock_);
        if (state_.invalidated) return Submission::invalidated();
        if (state_.inFlight >= config_.maxInFlight) {
            ++state_.dropped;
            return Submission::busy();
        }
        ++state_.inFlight;
        ++state_.submitted;
        pending.frameIndex = ++state_.frameIndex;
    }

    const PixelBufferRef& buffer = frame.pixelBuffer;
    const bool supported = buffer && (buffer->pixelFormat() == PixelFormat::nv12VideoRange ||
                                      buffer->pixelFormat() == PixelFormat::bgra);
    if (!supported || buffer->width() != config_.width || buffer->height() != config_.height ||
        !buffer->completePlanes())
        return refuse(invalidArgument);
    const std::int32_t locked = buffer->lockBaseAddress(PixelBuffer::Lock::readOnly);
    if (locked != PixelBufferStatus::success) return refuse(locked);

    // Built in place: a moved Input would unlock the buffer twice.
    std::shared_ptr<Input> input(new Input{buffer});
    pending.captureTimeNs = frame.captureTimeNs;
    pending.captureEpoch = frame.captureEpoch;
    pending.submittedAtNs = Clock::nowNs();
    Submission submitted = Submission::submitted();
    std::vector<std::uint8_t> constant;
    if (changedSinceSubmitted && !forceKeyframe && skipsConstantMacroblocks_) {
        constant = ConstantMacroblocks::outside(*changedSinceSubmitted, config_.width, config_.height);
        submitted.constantMacroblocks = static_cast<std::int32_t>(std::count(constant.begin(), constant.end(), 1));
    }
    std::weak_ptr<VideoEncoder> weak = weak_from_this();
    work().async([weak, input, pending, forceKeyframe, constant = std::move(constant), purpose]() mutable {
        if (auto self = weak.lock()) self->encodeNow(input, pending, forceKeyframe, std::move(constant), purpose);
    });
    return submitted;
}

VideoEncoder::Submission VideoEncoder::refuse(std::int32_t status) {
    std::lock_guard guard(lock_);
    --state_.inFlight;
    ++state_.failed;
    return Submission::failed(status);
}

bool VideoEncoder::setBitrate(std::uint32_t kbps) {
    std::lock_guard guard(lock_);
    if (state_.invalidated || !changesBitrateLive_ || kbps == 0) return false;
    state_.pendingBitrate = static_cast<std::int64_t>(kbps) * 1000;
    return true;
}

void VideoEncoder::invalidate() {
    bool wasInvalidated;
    {
        std::lock_guard guard(lock_);
        wasInvalidated = std::exchange(state_.invalidated, true);
    }
    // The codec is closed where it encodes, after the frame it may be on; an
    // encoder already going closes it as it goes.
    if (!wasInvalidated && (given_ || thread_)) {
        work().async([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->session_.reset();
        });
    }
}

VideoEncoder::Counters VideoEncoder::counters() const {
    std::lock_guard guard(lock_);
    return {state_.inFlight, state_.submitted, state_.dropped, state_.emitted, state_.failed, state_.refusedSettings};
}

std::vector<Bytes> VideoEncoder::lastParameterSets() const {
    std::lock_guard guard(lock_);
    return state_.lastParameterSets;
}

void VideoEncoder::encodeNow(const std::shared_ptr<Input>& input, Pending pending, bool forceKeyframe,
                             std::vector<std::uint8_t> constantMacroblocks, Purpose purpose) {
    std::optional<std::int64_t> bitrate;
    {
        std::lock_guard guard(lock_);
        if (state_.invalidated || !session_) {
            state_.inFlight = std::max<std::int64_t>(state_.inFlight - 1, 0);
            return;
        }
        bitrate = std::exchange(state_.pendingBitrate, std::nullopt);
    }
    if (bitrate) session_->setBitrate(*bitrate);
    // The map is against the frame submitted before; if that one never went
    // in, nothing is known to be constant.
    if (!std::exchange(encodedPrevious_, false)) constantMacroblocks.clear();

    // The encoder wants strictly rising times; capture times may repeat.
    const auto captured = static_cast<std::int64_t>(std::min<std::uint64_t>(pending.captureTimeNs, latestPts));
    pending.pts = hasPts_ ? std::max(captured, lastPts_ + 1) : captured;
    lastPts_ = pending.pts;
    hasPts_ = true;

    std::shared_ptr<void> keepAlive = input;
    const PixelBuffer* pixels = input->buffer.get();
    PixelBufferRef converted;
    if (pixels->pixelFormat() == PixelFormat::bgra) {
        if (!conversionPool_) {
            auto pool = PixelBufferPool::make(PixelFormat::nv12VideoRange, config_.width, config_.height, 2);
            if (!pool) return fail(pending, pool.error());
            conversionPool_ = std::move(*pool);
        }
        auto target = conversionPool_->createPixelBuffer();
        if (!target) return fail(pending, target.error());
        converted = std::move(*target);
        libyuv::ARGBToNV12(pixels->baseAddress(), static_cast<int>(pixels->bytesPerRow()),
                           converted->planeBaseAddress(0), static_cast<int>(converted->planeBytesPerRow(0)),
                           converted->planeBaseAddress(1), static_cast<int>(converted->planeBytesPerRow(1)),
                           config_.width, config_.height);
        keepAlive = converted;
        pixels = converted.get();
    }

    pending_.push_back(pending);
    const std::int32_t status = session_->encode(*pixels, std::move(keepAlive), pending.pts, forceKeyframe,
                                                 constantMacroblocks, purpose, [this](const EncoderSession::Packet& packet) {
                                                     // Frames older than this packet's never came out.
                                                     while (!pending_.empty() && pending_.front().pts < packet.pts) {
                                                         pending_.pop_front();
                                                         leave();
                                                     }
                                                     if (pending_.empty() || pending_.front().pts != packet.pts) return;
                                                     const Pending done = pending_.front();
                                                     pending_.pop_front();
                                                     finish(done, packet);
                                                 });
    encodedPrevious_ = status == 0;
    {
        std::lock_guard guard(lock_);
        state_.refusedSettings = session_->refusedSettings();
    }
    if (status != 0) {
        const auto it = std::find_if(pending_.begin(), pending_.end(),
                                     [&](const Pending& waiting) { return waiting.frameIndex == pending.frameIndex; });
        if (it == pending_.end()) return; // it came out after all
        pending_.erase(it);
        fail(pending, status);
    }
}

bool VideoEncoder::leave() {
    std::lock_guard guard(lock_);
    state_.inFlight = std::max<std::int64_t>(state_.inFlight - 1, 0);
    return !state_.invalidated;
}

void VideoEncoder::fail(const Pending& pending, std::int32_t status) {
    {
        std::lock_guard guard(lock_);
        state_.inFlight = std::max<std::int64_t>(state_.inFlight - 1, 0);
        if (state_.invalidated) return;
        ++state_.failed;
    }
    output_(std::unexpected(EncodeFailure{status, pending.frameIndex}));
}

void VideoEncoder::finish(const Pending& pending, const EncoderSession::Packet& packet) {
    if (!leave()) return;
    auto unit = build(pending, packet);
    if (!unit) return;
    unit->submittedAtNs = pending.submittedAtNs;
    {
        std::lock_guard guard(lock_);
        ++state_.emitted;
        if (unit->parameterSets) state_.lastParameterSets = *unit->parameterSets;
    }
    output_(std::move(*unit));
}

std::optional<EncodedAccessUnit> VideoEncoder::build(const Pending& pending,
                                                     const EncoderSession::Packet& packet) const {
    const auto units = AnnexB::units(packet.data);
    EncodedAccessUnit unit;
    unit.isKeyframe = packet.keyframe;
    unit.refinable = packet.refinable;
    unit.data.reserve(packet.data.size() + 4 * units.size());
    std::vector<Bytes> parameterSets;
    for (const ByteView nal : units) {
        if (isParameterSet(nal[0], config_.codec)) {
            // Parameter sets travel in the stream configuration, not in frames.
            if (unit.isKeyframe) parameterSets.emplace_back(nal.begin(), nal.end());
            continue;
        }
        static constexpr std::uint8_t startCode[] = {0, 0, 0, 1};
        unit.data.insert(unit.data.end(), std::begin(startCode), std::end(startCode));
        unit.data.insert(unit.data.end(), nal.begin(), nal.end());
    }
    // Nothing but parameter sets, or no NAL unit at all, is not a frame.
    if (unit.data.empty()) return std::nullopt;
    if (unit.isKeyframe && !parameterSets.empty()) unit.parameterSets = std::move(parameterSets);
    unit.frameIndex = pending.frameIndex;
    unit.captureTimeNs = pending.captureTimeNs;
    unit.captureEpoch = pending.captureEpoch;
    unit.encodedAtNs = Clock::nowNs();
    return unit;
}

} // namespace quillmere
