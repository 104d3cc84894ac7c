#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Capture/CaptureSource.h"
#include "QuillmereMac/Capture/DirtyArea.h"
#include "QuillmereMac/Capture/FrameChangeDetector.h"
#include "QuillmereMac/Capture/FrameHandoff.h"
#include "QuillmereMac/Encoder/VideoEncoder.h"
#include "QuillmereMac/Surface/CaptureChoice.h"
#include "QuillmereMac/Surface/MediaConnection.h"
#include "QuillmereMac/Surface/RequestedBox.h"
#include "QuillmereMac/Surface/SurfaceHandle.h"
#include "QuillmereMacCore/FrameGate.h"
#include "QuillmereMacCore/FrameNumbering.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

// One shared surface, from its capture source to its client's connection, on
// a serial queue of its own. Frames are parked in a one-frame hand-off by the
// capture queue and taken one at a time; its FrameGate decides which of them
// are encoded (it drops those paused, quiet, paced away by the tier or
// unchanged). Encoded units come back from the encoder's thread onto the
// queue and leave as EncodedFrames, numbered by its FrameNumbering and
// preceded by a stream configuration whenever the parameter sets change; the
// connection stamps their epochs as it sends them.
//
// Operations marked "on the queue" must run there; callers elsewhere dispatch
// to queue(). The pipeline keeps its connection alive.
class SurfacePipeline : public SurfaceHandle, public std::enable_shared_from_this<SurfacePipeline> {
public:
    struct Stats {
        std::int64_t captured = 0;
        std::int64_t encoded = 0;
        std::int64_t sent = 0;
        std::int64_t keyframes = 0;
        std::int64_t configs = 0;
        std::int64_t encoderDrops = 0;
        std::int64_t staleOutputs = 0;
        std::int64_t tierSkipped = 0;
        std::int64_t quietSkipped = 0;
        std::int64_t unchanged = 0;
        std::int64_t maxEncodeLatencyNs = 0;
        std::int64_t totalEncodeLatencyNs = 0;
        std::int64_t encodedBytes = 0;
        std::int64_t maxFrameBytes = 0;
        std::int64_t maxKeyframeBytes = 0;
        std::int64_t pickupNs = 0;
        std::int64_t pickups = 0;
        std::int64_t compareNs = 0;
        std::int64_t compares = 0;
        std::int64_t encoderNs = 0;
        std::int64_t encoderSamples = 0;
        std::int64_t outputWaitNs = 0;
        std::int64_t rememberNs = 0;
        std::int64_t remembers = 0;
        std::int64_t comparesSkipped = 0;
        // Of the frames submitted: their macroblocks, and those the encoder
        // was told are constant.
        std::int64_t macroblocks = 0;
        std::int64_t constantMacroblocks = 0;
        // Still pictures encoded again to sharpen them.
        std::int64_t refinements = 0;
        // Rates or buffers the surface's encoders would not take; counted in
        // perfSnapshot.
        std::int64_t encoderRefusals = 0;

        bool operator==(const Stats&) const = default;
    };

    struct Raster {
        int width = 0;
        int height = 0;
        bool operator==(const Raster&) const = default;
    };

    struct PerfSnapshot {
        Stats stats;
        int width = 0;
        int height = 0;
        std::int64_t fps = 0;
        std::uint32_t bitrateKbps = 0;
        bool operator==(const PerfSnapshot&) const = default;
    };

    using EncoderMaker = std::function<std::expected<std::shared_ptr<VideoEncoder>, EncoderError>(
        EncoderConfig config, VideoEncoder::Output output)>;

    // What a pipeline is made with beyond its surface; every field has a
    // default for the running application.
    struct Environment {
        // Its serial queue; by default one of its own, labelled queueLabelPrefix
        // and the surface identifier.
        std::shared_ptr<Executor> queue;
        // VideoEncoder::make by default.
        EncoderMaker makeEncoder;
        // The user default "QuillmereMacNormalRateControl", read at each
        // encoder creation.
        std::function<bool()> normalRateControl;
        // How long a wanted keyframe waits for a new frame before the newest
        // one is encoded again.
        std::uint64_t keyframeRefreshDelayNs = defaultKeyframeRefreshDelayNs;
    };

    static constexpr const char* queueLabelPrefix = "com.ornbeck.quillmeremac.pipeline.";
    static constexpr const char* normalRateControlKey = "QuillmereMacNormalRateControl";
    static constexpr std::uint32_t initialBitrateKbps = 20000;
    static constexpr std::uint64_t defaultKeyframeRefreshDelayNs = 50'000'000;

    static std::shared_ptr<SurfacePipeline> make(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> connection,
                                                 CaptureChoice choice, Environment environment);
    static std::shared_ptr<SurfacePipeline> make(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> connection,
                                                 CaptureChoice choice) {
        return make(surfaceID, std::move(connection), choice, Environment());
    }
    ~SurfacePipeline() override;
    SurfacePipeline(const SurfacePipeline&) = delete;
    SurfacePipeline& operator=(const SurfacePipeline&) = delete;

    std::uint32_t surfaceID() const { return surfaceID_; }
    const CaptureChoice& choice() const { return choice_; }
    const std::shared_ptr<MediaConnection>& connection() const { return connection_; }
    Executor& queue() const { return *queue_; }

    // Set by the media pipeline before capture starts; called on the queue
    // when the raster, or the size of the content it shows, changed.
    void setRasterChanged(std::function<void(std::uint32_t surfaceID)> hook) { rasterChanged_ = std::move(hook); }
    void setCaptureInterrupted(std::function<void(std::uint32_t surfaceID)> hook) {
        captureInterrupted_ = std::move(hook);
    }

    // On the queue (through a synchronous dispatch): keeps the source unless
    // the pipeline was stopped, in which case the caller drops it unstarted.
    bool attach(std::shared_ptr<CaptureSource> source);
    // On the queue: whether this very source is the one attached.
    bool holds(const CaptureSource& source) const { return source_.get() == &source; }
    // The handler for CaptureSource::start. It runs on the capture queue,
    // holds the pipeline weakly and hands frames over without waiting.
    CaptureEventHandler eventHandler();

    // On the queue.
    void processNextFrame();
    void captureStopped(const CaptureStopReason& reason);
    bool makeEncoder(int width, int height);
    void handleOutput(VideoEncoder::Result result, std::uint64_t generation);
    void applySourceRate();
    void setPaused(bool paused);
    void setSending(bool sending);
    // The connection's rate decisions; virtual so that a connection's tests
    // can stand in for the whole pipeline.
    virtual void setBitrate(std::uint32_t kbps);
    virtual void setTier(std::int64_t fps, std::uint32_t bitrateKbps);
    void resize(RequestedBox box);
    void noteInput(std::uint64_t t);
    // Once: stops sending and encoding for good and hands back the source
    // for the caller to stop; a second call returns nothing.
    std::shared_ptr<CaptureSource> stop();
    // Resets the largest frame and keyframe sizes.
    PerfSnapshot perfSnapshot();

    // Any thread: the next frame encoded becomes a keyframe (set on the queue).
    void requestKeyframe() override;

    // The share of the frame its dirty rectangles cover (overlaps counted
    // twice); nothing when it has no list or no area.
    static std::optional<double> dirtyFraction(const CapturedFrame& frame);

    // On the queue.
    const Stats& stats() const { return stats_; }
    const FrameGate& gate() const { return gate_; }
    std::uint64_t generation() const { return generation_; }
    Raster raster() const { return raster_; }
    bool sending() const { return sending_; }
    bool paused() const { return gate_.paused(); }
    bool stopped() const { return stopped_; }
    std::int64_t fps() const { return fps_; }
    std::optional<std::int64_t> tierFPS() const { return tierFPS_; }
    bool hasEncoder() const { return encoder_ != nullptr; }

protected:
    SurfacePipeline(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> connection, CaptureChoice choice,
                    Environment environment);

private:
    std::uint64_t now() const { return queue_->nowNs(); }
    // Runs the comparison the gate asks for; the gate's word on it.
    FrameGate::Decision compare(const CapturedFrame& frame, std::uint64_t lookedAtNs);
    // Carries out the gate's word on a frame (its comparison included).
    // lookedAtNs: when the gate counts it as looked at (its capture, unless
    // it was held back).
    void decide(const CapturedFrame& frame, FrameGate::Decision decision, std::uint64_t lookedAtNs);
    void count(const FrameGate::Decision& decision);
    void encode(const CapturedFrame& frame, VideoEncoder::Purpose purpose, std::uint64_t lookedAtNs);
    void forgetRemembered();
    void markKeyframeRequested();
    void scheduleKeyframeRefresh();
    void refreshKeyframe(std::uint64_t takenBefore);
    // A still picture is encoded again, when the gate says, until the
    // encoder has it as sharp as it gets.
    void scheduleRefinement();
    void refinementTimer(std::uint64_t at);
    // A change paced away goes once the pacing allows, unless a later frame
    // carried it first: the content may have gone still.
    void scheduleCatchUp();
    void catchUpTimer(std::uint64_t at);
    // Calls fired(due) on the queue at due, unless armedAt says a timer
    // fires no later.
    void armTimer(std::optional<std::uint64_t>& armedAt, std::uint64_t due,
                  void (SurfacePipeline::*fired)(std::uint64_t));
    void encoderOutput(VideoEncoder::Result result, std::uint64_t generation);
    // Invalidates the encoder, keeping its count of refusals.
    void retireEncoder();

    const std::uint32_t surfaceID_;
    const CaptureChoice choice_;
    std::function<void(std::uint32_t)> rasterChanged_;
    std::function<void(std::uint32_t)> captureInterrupted_;
    const std::shared_ptr<MediaConnection> connection_;
    const std::shared_ptr<Executor> queue_;
    const std::shared_ptr<FrameHandoff> handoff_ = std::make_shared<FrameHandoff>();
    const EncoderMaker encoderMaker_;
    const std::function<bool()> normalRateControl_;
    const std::uint64_t keyframeRefreshDelayNs_;

    // The rest lives on the queue.
    std::shared_ptr<CaptureSource> source_;
    std::shared_ptr<VideoEncoder> encoder_;
    std::int64_t refusedByRetired_ = 0;
    std::uint64_t generation_ = 0;
    FrameNumbering numbering_;
    Raster raster_;
    // The content's size as last captured.
    std::optional<Rect> content_;
    bool sending_ = false;
    bool keyframeRequested_ = true;
    bool stopped_ = false;
    std::uint32_t bitrateKbps_ = initialBitrateKbps;
    Stats stats_;
    Logger log_{"com.ornbeck.quillmere.mac", "pipeline"};
    std::int64_t fps_ = 60;
    std::optional<std::int64_t> tierFPS_;
    FrameGate gate_;
    FrameChangeDetector changes_;
    DirtyArea dirtySinceRemembered_ = DirtyArea::all();
    // Changed since the encoder last took a frame, over the frames skipped.
    DirtyArea dirtySinceEncoded_ = DirtyArea::all();
    // The newest frame taken: a still picture sends no more frames, yet a
    // client that starts streaming or lost a frame needs a keyframe of it.
    std::optional<CapturedFrame> lastFrame_;
    std::uint64_t framesTaken_ = 0;
    bool refreshScheduled_ = false;
    // When the earliest refinement timer fires, if one is set.
    std::optional<std::uint64_t> refinementTimerAt_;
    std::optional<std::uint64_t> catchUpTimerAt_;
};

} // namespace quillmere
