#pragma once

#include "QuillmereMac/Capture/CapturedFrame.h"
#include "QuillmereMac/Encoder/EncodedAccessUnit.h"
#include "QuillmereMac/Encoder/EncoderConfig.h"
#include "QuillmereMac/Encoder/EncoderError.h"
#include "QuillmereMac/Encoder/EncoderSession.h"
#include "QuillmereMac/Encoder/EncoderPropertyStatus.h"

#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

class DirtyArea;
class PixelBufferPool;
class Executor;
class SerialQueue;

// Encodes one surface's frames into Annex B access units. Frames are handed to
// the encoder's own thread (or the serial queue it was given), at most
// maxInFlight at a time; every unit and every failure for a frame comes back
// through output there, never within the caller's encode call.
class VideoEncoder : public std::enable_shared_from_this<VideoEncoder> {
public:
    struct EncodeFailure {
        std::int32_t status = 0;
        std::uint64_t frameIndex = 0;
        bool operator==(const EncodeFailure&) const = default;
    };
    using Result = std::expected<EncodedAccessUnit, EncodeFailure>;
    using Output = std::function<void(Result)>;

    struct Submission {
        enum class Kind : std::uint8_t { submitted, busy, invalidated, failed };
        Kind kind = Kind::submitted;
        // The encoder's status for failed.
        std::int32_t status = 0;
        // Of a frame submitted with what changed: the macroblocks outside that
        // area, which the encoder is told are constant.
        std::int32_t constantMacroblocks = 0;

        static Submission submitted() { return {Kind::submitted, 0, 0}; }
        static Submission busy() { return {Kind::busy, 0, 0}; }
        static Submission invalidated() { return {Kind::invalidated, 0, 0}; }
        static Submission failed(std::int32_t status) { return {Kind::failed, status, 0}; }
        bool operator==(const Submission&) const = default;
    };

    struct Counters {
        std::int64_t inFlight = 0;
        std::int64_t submitted = 0; // admitted frames
        std::int64_t dropped = 0;   // refused because maxInFlight were out
        std::int64_t emitted = 0;   // units delivered
        std::int64_t failed = 0;    // refused at submission or failed in the encoder
        std::int64_t refusedSettings = 0; // rates or buffers the encoder would not take
        bool operator==(const Counters&) const = default;
    };

    // Ready to encode when it returns. Without a queue the encoder has a
    // thread of its own; a caller on a serial queue that only waits for the
    // output may give that queue instead, so that a frame costs no hand-over
    // to another thread and back: frames are then encoded on it after the
    // caller's turn.
    static std::expected<std::shared_ptr<VideoEncoder>, EncoderError> make(EncoderConfig config, Output output,
                                                                          std::shared_ptr<Executor> queue = nullptr);
    static bool hevcHardwareAvailable();

    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // Takes the frame's pixel buffer (NV12, or BGRA which is converted), its
    // capture time and epoch. The buffer must have the configured size; it is
    // held read-locked until the encoder is done with it.
    // changedSinceSubmitted is what changed since the last frame this encoder
    // took (absent: unknown, all of it); the encoder skips what did not. A
    // refinement gives the last picture again, stamped when it is given,
    // to sharpen what the decoder holds of it (EncodedAccessUnit::refinable).
    using Purpose = EncoderSession::Purpose;
    Submission encode(const CapturedFrame& frame, bool forceKeyframe, const DirtyArea* changedSinceSubmitted = nullptr,
                      Purpose purpose = Purpose::content);
    // True when the encoder takes the new average rate from the next frame
    // on. The configuration keeps its rate.
    bool setBitrate(std::uint32_t kbps);
    // Ends the encoder once: later submissions are refused and no output
    // follows, not even for frames already submitted.
    void invalidate();

    const EncoderConfig& config() const { return config_; }
    // The settings tried at creation, in order.
    const std::vector<EncoderPropertyStatus>& properties() const { return properties_; }
    bool usingHardware() const { return usingHardware_; }
    const std::string& hardwareEvidence() const { return hardwareEvidence_; }
    Counters counters() const;
    std::vector<Bytes> lastParameterSets() const;

private:
    struct State {
        std::int64_t inFlight = 0;
        bool invalidated = false;
        std::uint64_t frameIndex = 0;
        std::vector<Bytes> lastParameterSets;
        std::int64_t submitted = 0;
        std::int64_t dropped = 0;
        std::int64_t emitted = 0;
        std::int64_t failed = 0;
        std::int64_t refusedSettings = 0;
        // A rate asked for and not yet given to the encoder, in bits per second.
        std::optional<std::int64_t> pendingBitrate;
    };
    // What a frame's unit carries from its submission.
    struct Pending {
        std::int64_t pts = 0;
        std::uint64_t frameIndex = 0;
        std::uint64_t captureTimeNs = 0;
        std::uint32_t captureEpoch = 0;
        std::uint64_t submittedAtNs = 0;
    };
    struct Input;

    VideoEncoder(EncoderConfig config, Output output, std::unique_ptr<EncoderSession> session, bool usingHardware,
                 std::string hardwareEvidence, std::shared_ptr<Executor> queue);
    Executor& work() const;

    Submission refuse(std::int32_t status);
    // On the encoder's thread from here on.
    void encodeNow(const std::shared_ptr<Input>& input, Pending pending, bool forceKeyframe,
                   std::vector<std::uint8_t> constantMacroblocks, Purpose purpose);
    void finish(const Pending& pending, const EncoderSession::Packet& packet);
    void fail(const Pending& pending, std::int32_t status);
    // A frame left the encoder: whether its result may still be delivered.
    bool leave();
    std::optional<EncodedAccessUnit> build(const Pending& pending, const EncoderSession::Packet& packet) const;

    const EncoderConfig config_;
    const Output output_;
    std::vector<EncoderPropertyStatus> properties_;
    const bool usingHardware_;
    const std::string hardwareEvidence_;
    const bool changesBitrateLive_;
    const bool skipsConstantMacroblocks_;

    mutable std::mutex lock_;
    State state_;

    // Touched only on the encoder's thread.
    std::unique_ptr<EncoderSession> session_;
    std::shared_ptr<PixelBufferPool> conversionPool_;
    std::deque<Pending> pending_;
    std::int64_t lastPts_ = 0;
    bool hasPts_ = false;
    // Until a frame went in, or after one failed, nothing is known constant.
    bool encodedPrevious_ = false;

    // The queue given, or else the thread of its own; last, so that it stops
    // before anything it uses goes away.
    std::shared_ptr<Executor> given_;
    std::unique_ptr<SerialQueue> thread_;
};

} // namespace quillmere
