#include "QuillmereMacCore/FrameGate.h"

#include <algorithm>
#include <utility>

namespace quillmere {

namespace {

// A later time minus an earlier one, 0 when the "later" one is not.
std::uint64_t ageOf(std::uint64_t t, std::uint64_t since) { return t >= since ? t - since : 0; }

FrameGate::Decision drop(FrameGate::Reason reason, bool quietChanged) {
    return {FrameGate::Action::drop, reason, quietChanged, false};
}

} // namespace

std::uint64_t FrameGate::pacingReference() const {
    if (!lastEncodedNs_) return lastCheckedNs_;
    return std::max(lastCheckedNs_, *lastEncodedNs_);
}

std::optional<double> FrameGate::quietFraction(const Frame& frame) const {
    if (!frame.dirtyFraction || !quiet_.isQuiet || tierIntervalNs_ == 0 || !lastFrameNs_) return frame.dirtyFraction;
    // Spread over the time since the frame before it, from one interval up
    // to the quiet source's: a change after a long still spell is not
    // spread thinner than one in a 10 fps sample.
    const std::uint64_t span = std::clamp(ageOf(frame.captureTimeNs, *lastFrameNs_), tierIntervalNs_,
                                          std::max(tierIntervalNs_, quietSourceIntervalNs));
    return *frame.dirtyFraction * static_cast<double>(tierIntervalNs_) / static_cast<double>(span);
}

bool FrameGate::nextSkipsCompare() const {
    return compareSkip_.changedInARow >= compareRunLength && compareSkip_.sinceCheck + 1 < compareEvery;
}

FrameGate::Decision FrameGate::admit(const Frame& frame) {
    const std::uint64_t t = frame.captureTimeNs;
    if (paused_) return drop(Reason::paused, false);

    // Quiet gate. Both ages saturate: a frame stamped before the tiny run
    // began, or before the last input, is not quiet, where a wrapped
    // difference would call it so.
    const bool wasQuiet = quiet_.isQuiet;
    const std::optional<double> fraction = quietFraction(frame);
    lastFrameNs_ = t;
    if (!fraction || *fraction >= dirtyFractionThreshold) {
        quiet_ = QuietState{};
    } else {
        if (!quiet_.tinySince) quiet_.tinySince = t;
        quiet_.isQuiet = ageOf(t, *quiet_.tinySince) > quietAfterNs && ageOf(t, lastInputNs_) > quietInputAgeNs;
    }
    const bool quietChanged = quiet_.isQuiet != wasQuiet;
    if (quiet_.isQuiet && !frame.keyframeWanted) {
        const std::uint64_t reference = pacingReference();
        if (reference != 0 && t - reference <= quietFrameGapNs) return holdBack(Reason::quiet, quietChanged);
    }

    // Tier pacing; wrapping on purpose: a frame stamped before the
    // reference is far "after" it and goes on.
    const std::uint64_t reference = pacingReference();
    if (tierIntervalNs_ != 0 && !frame.keyframeWanted && reference != 0 &&
        t - reference < tierIntervalNs_ - tierIntervalNs_ / 4)
        return holdBack(Reason::tier, quietChanged);

    heldBack_ = false;
    if (!frame.hasPicture) return drop(Reason::noPicture, quietChanged);
    return look(t, quietChanged);
}

FrameGate::Decision FrameGate::holdBack(Reason reason, bool quietChanged) {
    heldBack_ = true;
    return drop(reason, quietChanged);
}

FrameGate::Decision FrameGate::look(std::uint64_t t, bool quietChanged) {
    if (nextSkipsCompare()) {
        ++compareSkip_.sinceCheck;
        return changedContent(t, Reason::thinned, quietChanged);
    }
    compareSkip_.sinceCheck = 0;
    return {Action::compare, Reason::look, quietChanged, false};
}

// A whole interval, not the three quarters a captured frame needs: while
// frames keep coming at the tier's rate, the next one carries the change
// before this is due.
std::optional<std::uint64_t> FrameGate::heldBackDue() const {
    if (!heldBack_ || paused_) return std::nullopt;
    return pacingReference() + std::max(tierIntervalNs_, quiet_.isQuiet ? quietSourceIntervalNs : 0);
}

FrameGate::Decision FrameGate::catchUp(std::uint64_t t) {
    const std::optional<std::uint64_t> due = heldBackDue();
    if (!due || t < *due) return drop(Reason::settled, false);
    heldBack_ = false;
    return look(t, false);
}

FrameGate::Decision FrameGate::compared(std::uint64_t captureTimeNs, bool changed, bool keyframeWanted,
                                        bool encoderCurrent) {
    if (!changed) {
        compareSkip_.changedInARow = 0;
        if (encoderCurrent && !keyframeWanted) {
            lastCheckedNs_ = captureTimeNs;
            return drop(Reason::unchanged, false);
        }
        return {Action::encode, Reason::needed, false, false};
    }
    ++compareSkip_.changedInARow;
    return changedContent(captureTimeNs, Reason::changed, false);
}

FrameGate::Decision FrameGate::changedContent(std::uint64_t t, Reason reason, bool quietChanged) {
    // Wrapping on purpose, as the pacing.
    const bool report = t - lastContentReportNs_ > contentReportGapNs;
    if (report) lastContentReportNs_ = t;
    return {Action::encode, reason, quietChanged, report};
}

void FrameGate::noteEncoded(std::uint64_t captureTimeNs) {
    lastEncodedNs_ = captureTimeNs;
    // What the pipeline encodes is always its newest picture.
    heldBack_ = false;
    // A still spell begins after every new picture.
    lastChangeNs_ = captureTimeNs;
    refinements_ = 0;
}

void FrameGate::noteOutput(bool refinable) {
    refinable_ = refinable;
    refinementOut_ = false;
}

std::optional<std::uint64_t> FrameGate::refinementDue(bool keyframeWanted) const {
    if (!refinable_ || refinementOut_ || keyframeWanted || paused_ || refinements_ >= maxRefinements) return std::nullopt;
    std::uint64_t due = lastChangeNs_ ? *lastChangeNs_ + refinementStillNs : 0;
    if (lastRefinementNs_) due = std::max(due, *lastRefinementNs_ + std::max(refinementGapNs, tierIntervalNs_));
    return due;
}

FrameGate::Decision FrameGate::refine(std::uint64_t t, bool keyframeWanted) {
    const std::optional<std::uint64_t> due = refinementDue(keyframeWanted);
    if (!due || t < *due) return drop(Reason::settled, false);
    lastRefinementNs_ = t;
    ++refinements_;
    refinementOut_ = true;
    return {Action::encode, Reason::refinement, false, false};
}

bool FrameGate::noteInput(std::uint64_t t) {
    lastInputNs_ = t;
    return std::exchange(quiet_, QuietState{}).isQuiet;
}

std::int64_t FrameGate::sourceRate(std::int64_t fps, std::optional<std::int64_t> tierFPS) const {
    if (paused_) return 1;
    if (quiet_.isQuiet) return std::min<std::int64_t>(fps, 10);
    if (tierFPS) return std::min<std::int64_t>(fps, std::max<std::int64_t>(*tierFPS, 10));
    return fps;
}

} // namespace quillmere
