#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// Which captured frames of a surface reach its encoder. Frames a client
// would not see change cost a look and nothing more: those taken while
// paused, those of a quiet surface within 75 ms of the last one looked at,
// those within three quarters of the tier's frame interval, and those the
// change detector finds identical to the picture it remembers. After eight
// changed frames in a row only every tenth is compared. While quiet, a
// frame's change is judged per tier interval: a surface sampled at 10 fps
// shows several intervals' changes in each frame, and judged whole those
// would end the quiet at its first slow frame. A pure value: the
// surface pipeline feeds it each frame's facts, runs the comparison it asks
// for and encodes what it lets through. Times are nanoseconds of the raw
// uptime clock.
//
// It also times refinements: once the content stops changing, while the
// encoder says the picture it last gave could be sharper, the same picture
// is encoded again every refinementGapNs (the tier's interval when longer),
// the first refinementStillNs after the last change, at most
// maxRefinements times a still spell. Never while a keyframe is wanted: a
// refinement repairs no loss.
//
// A frame paced away (tier or quiet) may have been the last change before
// the content went still, and the source sends no frame for a still
// picture: unless a later frame is looked at first, it is looked at again
// one whole pacing interval after the pacing reference.
class FrameGate {
public:
    static constexpr double dirtyFractionThreshold = 0.005;
    static constexpr std::uint64_t quietAfterNs = 999'999'999;
    static constexpr std::uint64_t quietInputAgeNs = 1'999'999'999;
    static constexpr std::uint64_t quietFrameGapNs = 74'999'999;
    static constexpr std::uint64_t contentReportGapNs = 999'999'999;
    static constexpr std::int64_t compareRunLength = 8;
    static constexpr std::int64_t compareEvery = 10;
    // The interval a quiet surface's source captures at (10 fps, see sourceRate).
    static constexpr std::uint64_t quietSourceIntervalNs = 100'000'000;
    static constexpr std::uint64_t refinementStillNs = 100'000'000;
    static constexpr std::uint64_t refinementGapNs = 50'000'000;
    static constexpr std::int64_t maxRefinements = 50;

    // What a frame needs to be decided on.
    struct Frame {
        std::uint64_t captureTimeNs = 0;
        // The share of the picture its dirty rectangles cover; none without a list.
        std::optional<double> dirtyFraction;
        bool hasPicture = true;
        bool keyframeWanted = false;
    };

    enum class Action : std::uint8_t { drop, compare, encode };
    enum class Reason : std::uint8_t {
        paused,
        // A quiet surface's frame too soon after the last one looked at.
        quiet,
        // Within three quarters of the tier interval after the last one.
        tier,
        noPicture,
        // The comparison decides.
        look,
        // The picture is the one remembered and the encoder has it.
        unchanged,
        changed,
        // Counted as changed without a comparison.
        thinned,
        // Unchanged, but the encoder needs it (new raster, no encoder, keyframe wanted).
        needed,
        // The last picture again, to sharpen it.
        refinement,
        // No refinement, and no frame held back, is due.
        settled,
    };

    struct Decision {
        Action action = Action::drop;
        Reason reason = Reason::paused;
        // The surface became quiet or stopped being so: its source's rate follows.
        bool quietChanged = false;
        // Changed content on its way to the encoder: the surface is re-ranked
        // (at most once a second).
        bool reportContentChange = false;

        bool operator==(const Decision&) const = default;
    };

    // Whether the surface shows only tiny changes for long enough, with no
    // input, to be sampled slowly.
    struct QuietState {
        bool isQuiet = false;
        std::optional<std::uint64_t> tinySince;
        bool operator==(const QuietState&) const = default;
    };

    struct CompareSkip {
        std::int64_t changedInARow = 0;
        std::int64_t sinceCheck = 0;
        bool operator==(const CompareSkip&) const = default;
    };

    // Everything up to the comparison: drop, compare, or encode unseen.
    Decision admit(const Frame& frame);
    // The comparison asked for by admit: drop or encode. encoderCurrent: an
    // encoder exists for the frame's size.
    Decision compared(std::uint64_t captureTimeNs, bool changed, bool keyframeWanted, bool encoderCurrent);
    // A frame went to the encoder (a refreshed still picture too, not a
    // refinement).
    void noteEncoded(std::uint64_t captureTimeNs);
    // The next frame will not be compared: remembering this one is no use.
    bool nextSkipsCompare() const;

    // The encoder gave a frame back; refinable: what the decoder holds could
    // be sharper.
    void noteOutput(bool refinable);
    // When the next refinement is due: none when the picture is as sharp as
    // it gets, a refinement awaits its output, a keyframe is wanted, the
    // surface is paused or the still spell had its share.
    std::optional<std::uint64_t> refinementDue(bool keyframeWanted) const;
    // At t: encode the last picture again (Reason::refinement), or drop
    // (Reason::settled) when none is due by then.
    Decision refine(std::uint64_t t, bool keyframeWanted);

    // When the newest frame, paced away, is to be looked at after all: none
    // when no frame is held back or the surface is paused.
    std::optional<std::uint64_t> heldBackDue() const;
    // At t: the held-back frame goes on as admit lets a frame through
    // (compare, or encode unseen), or is dropped (Reason::settled) when not
    // due by then.
    Decision catchUp(std::uint64_t t);

    void setPaused(bool paused) { paused_ = paused; }
    bool paused() const { return paused_; }
    // 0: no pacing.
    void setTierInterval(std::uint64_t intervalNs) { tierIntervalNs_ = intervalNs; }
    std::uint64_t tierIntervalNs() const { return tierIntervalNs_; }
    // Input ends the quiet; true when the surface was quiet.
    bool noteInput(std::uint64_t t);

    // The rate the surface's source should capture at: 1 while paused, at
    // most 10 while quiet, the tier's (at least 10) when one is set.
    std::int64_t sourceRate(std::int64_t fps, std::optional<std::int64_t> tierFPS) const;

    const QuietState& quiet() const { return quiet_; }
    const CompareSkip& compareSkip() const { return compareSkip_; }

private:
    // The later of the last unchanged frame and the last frame encoded.
    std::uint64_t pacingReference() const;
    Decision changedContent(std::uint64_t t, Reason reason, bool quietChanged);
    // A frame paced away.
    Decision holdBack(Reason reason, bool quietChanged);
    // A frame past the pacing: compared, or counted as changed unseen.
    Decision look(std::uint64_t t, bool quietChanged);
    // The frame's dirty share, per tier interval when quiet.
    std::optional<double> quietFraction(const Frame& frame) const;

    bool paused_ = false;
    std::uint64_t tierIntervalNs_ = 0;
    QuietState quiet_;
    CompareSkip compareSkip_;
    std::uint64_t lastInputNs_ = 0;
    std::optional<std::uint64_t> lastFrameNs_;
    std::optional<std::uint64_t> lastEncodedNs_;
    std::uint64_t lastCheckedNs_ = 0;
    std::uint64_t lastContentReportNs_ = 0;
    // The newest frame was paced away and nothing newer went on since.
    bool heldBack_ = false;
    // Refinement.
    std::optional<std::uint64_t> lastChangeNs_;
    std::optional<std::uint64_t> lastRefinementNs_;
    std::int64_t refinements_ = 0;
    bool refinable_ = false;
    bool refinementOut_ = false;
};

} // namespace quillmere
