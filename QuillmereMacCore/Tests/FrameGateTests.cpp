#include "TestSupport/TestValues.h"
#include "QuillmereMacCore/FrameGate.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillmere {
namespace {

using Action = FrameGate::Action;
using Reason = FrameGate::Reason;

using testing::ms;
constexpr std::uint64_t T0 = 10'000 * ms;
// Dirty fractions: nothing changed, just below the quiet threshold, at it.
constexpr double none = 0.0;
constexpr double tiny = 0.0049;
constexpr double threshold = FrameGate::dirtyFractionThreshold;

// One frame as the pipeline offers it, what its comparison finds (when the
// gate asks for one), and what the gate must decide.
struct Row {
    std::uint64_t t;
    std::optional<double> fraction;
    bool changed;
    Action action;
    Reason reason;
    bool keyframeWanted = false;
    bool hasPicture = true;
};

// Runs rows through the gate as the pipeline does: comparisons answered as
// the row says, every encoded frame noted, an encoder present after the first.
void expectDecisions(FrameGate& gate, const std::vector<Row>& rows) {
    bool encoded = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        FrameGate::Decision decision = gate.admit({row.t, row.fraction, row.hasPicture, row.keyframeWanted});
        if (decision.action == Action::compare) decision = gate.compared(row.t, row.changed, row.keyframeWanted, encoded);
        if (decision.action == Action::encode) {
            gate.noteEncoded(row.t);
            encoded = true;
        }
        EXPECT_EQ(decision.action, row.action) << "row " << i;
        EXPECT_EQ(decision.reason, row.reason) << "row " << i;
    }
}

TEST(FrameGate, PausedFramesAreDroppedBeforeAnythingElse) {
    FrameGate gate;
    gate.setPaused(true);
    gate.setTierInterval(100 * ms);
    expectDecisions(gate, {{T0, none, true, Action::drop, Reason::paused},
                           {T0 + 1, std::nullopt, true, Action::drop, Reason::paused, true}});
    EXPECT_EQ(gate.quiet(), FrameGate::QuietState{}) << "a paused frame tells the quiet gate nothing";
    gate.setPaused(false);
    expectDecisions(gate, {{T0 + 2, std::nullopt, true, Action::encode, Reason::changed}});
}

TEST(FrameGate, AnUnchangedPictureIsDroppedOnlyWhenTheEncoderHasIt) {
    FrameGate gate;
    expectDecisions(gate, {
                              // No encoder yet: the first picture goes on unchanged or not.
                              {T0, std::nullopt, false, Action::encode, Reason::needed},
                              {T0 + 16 * ms, std::nullopt, false, Action::drop, Reason::unchanged},
                              {T0 + 32 * ms, std::nullopt, true, Action::encode, Reason::changed},
                              // A wanted keyframe is encoded from the same picture.
                              {T0 + 48 * ms, std::nullopt, false, Action::encode, Reason::needed, true},
                              {T0 + 64 * ms, std::nullopt, false, Action::drop, Reason::unchanged},
                              // A frame without pixels is not looked at.
                              {T0 + 80 * ms, std::nullopt, true, Action::drop, Reason::noPicture, false, false},
                          });
}

TEST(FrameGate, TierPacingDropsFramesWithinThreeQuartersOfTheInterval) {
    FrameGate gate;
    gate.setTierInterval(100 * ms);
    expectDecisions(gate, {
                              {T0, std::nullopt, true, Action::encode, Reason::changed},
                              {T0 + 75 * ms - 1, std::nullopt, true, Action::drop, Reason::tier},
                              {T0 + 75 * ms, std::nullopt, true, Action::encode, Reason::changed},
                              // Stamped before the reference: far "after" it.
                              {T0 + 10 * ms, std::nullopt, true, Action::encode, Reason::changed},
                              // A wanted keyframe is never paced away.
                              {T0 + 20 * ms, std::nullopt, true, Action::encode, Reason::changed, true},
                              // An unchanged frame moves the reference too.
                              {T0 + 100 * ms, std::nullopt, false, Action::drop, Reason::unchanged},
                              {T0 + 174 * ms, std::nullopt, true, Action::drop, Reason::tier},
                          });
}

// A frame paced away may be the last the source sends: the pipeline's timer
// asks for it again. Each step is a frame, the timer, a pause or a new tier
// interval (given as t); then when the gate wants the timer next.
TEST(FrameGate, AFramePacedAwayIsLookedAtAgainAfterAWholeInterval) {
    enum class Do : std::uint8_t { frame, timer, pause, resume, tier };
    struct Step {
        Do what;
        std::uint64_t t;
        bool changed;
        Action action;
        Reason reason;
        std::optional<std::uint64_t> due;
        std::optional<double> fraction = std::nullopt;
    };
    constexpr auto none = std::nullopt;
    std::vector<Step> steps = {
        {Do::frame, T0, true, Action::encode, Reason::changed, none},
        {Do::frame, T0 + 10 * ms, true, Action::drop, Reason::tier, T0 + 100 * ms},
        {Do::timer, T0 + 100 * ms - 1, true, Action::drop, Reason::settled, T0 + 100 * ms},
        {Do::timer, T0 + 100 * ms, true, Action::encode, Reason::changed, none},
        // Once: nothing is held back any more.
        {Do::timer, T0 + 300 * ms, true, Action::drop, Reason::settled, none},
        // Held back but found unchanged: nothing to send.
        {Do::frame, T0 + 110 * ms, false, Action::drop, Reason::tier, T0 + 200 * ms},
        {Do::timer, T0 + 200 * ms, false, Action::drop, Reason::unchanged, none},
        // A later frame carries the change first.
        {Do::frame, T0 + 210 * ms, true, Action::drop, Reason::tier, T0 + 300 * ms},
        {Do::frame, T0 + 280 * ms, true, Action::encode, Reason::changed, none},
        {Do::timer, T0 + 380 * ms, true, Action::drop, Reason::settled, none},
        // Not while paused.
        {Do::frame, T0 + 290 * ms, true, Action::drop, Reason::tier, T0 + 380 * ms},
        {Do::pause, 0, true, Action::drop, Reason::paused, none},
        {Do::timer, T0 + 400 * ms, true, Action::drop, Reason::settled, none},
        {Do::resume, 0, true, Action::drop, Reason::paused, T0 + 380 * ms},
    };
    // Quiet from T0 + 1400 ms on: a frame paced away waits for the quiet
    // source's interval, longer than the tier's.
    steps.push_back({Do::tier, 50 * ms, true, Action::drop, Reason::paused, T0 + 330 * ms});
    for (std::uint64_t t = T0 + 400 * ms; t <= T0 + 1400 * ms; t += 100 * ms)
        steps.push_back({Do::frame, t, false, Action::drop, Reason::unchanged, none, 0.0});
    steps.push_back({Do::frame, T0 + 1450 * ms, true, Action::drop, Reason::quiet, T0 + 1500 * ms, tiny});
    steps.push_back({Do::timer, T0 + 1500 * ms, true, Action::encode, Reason::changed, none});
    FrameGate gate;
    gate.setTierInterval(100 * ms);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        FrameGate::Decision decision{step.action, step.reason};
        switch (step.what) {
        case Do::frame: decision = gate.admit({step.t, step.fraction}); break;
        case Do::timer: decision = gate.catchUp(step.t); break;
        case Do::pause: gate.setPaused(true); break;
        case Do::resume: gate.setPaused(false); break;
        case Do::tier: gate.setTierInterval(step.t); break;
        }
        if (decision.action == Action::compare) decision = gate.compared(step.t, step.changed, false, true);
        if (decision.action == Action::encode) gate.noteEncoded(step.t);
        EXPECT_EQ(decision.action, step.action) << "step " << i;
        EXPECT_EQ(decision.reason, step.reason) << "step " << i;
        EXPECT_EQ(gate.heldBackDue(), step.due) << "step " << i;
    }
}

TEST(FrameGate, QuietNeedsMoreThanASecondOfTinyChangesAndTwoWithoutInput) {
    struct Case {
        std::uint64_t input;
        std::uint64_t last;
        bool quiet;
    };
    // Tiny changes from T0 + 100 ms on; input at T0; the frame at last decides.
    const Case cases[] = {
        {T0, T0 + 1100 * ms, false},     // a second of tiny changes, input 1.1 s ago
        {T0, T0 + 2000 * ms - 1, false}, // input 1,999,999,999 ns ago
        {T0, T0 + 2000 * ms, true},
        {0, T0 + 1100 * ms, true},
        {0, T0 + 1100 * ms - 1, false},  // tiny for exactly 999,999,999 ns
        // Input after the frames' own time: input age 0, not a wrapped difference.
        {T0 + 60'000 * ms, T0 + 3000 * ms, false},
        // A frame stamped before the tiny run began is no long run.
        {0, T0, false},
    };
    for (const Case& c : cases) {
        FrameGate gate;
        gate.noteInput(c.input);
        gate.admit({T0 + 100 * ms, none});
        gate.admit({c.last, tiny});
        EXPECT_EQ(gate.quiet().isQuiet, c.quiet) << "frame at T0 + " << (c.last - T0) << " ns";
    }
}

TEST(FrameGate, AQuietSurfacePassesOneFrameIn75Milliseconds) {
    FrameGate gate;
    expectDecisions(gate, {
                              {T0, none, false, Action::encode, Reason::needed},
                              {T0 + 500 * ms, none, false, Action::drop, Reason::unchanged},
                              {T0 + 1000 * ms, none, false, Action::drop, Reason::unchanged},
                              // Quiet from here: frames within 75 ms of the last one looked at are dropped.
                              {T0 + 1050 * ms, none, false, Action::drop, Reason::quiet},
                              {T0 + 1075 * ms, none, false, Action::drop, Reason::unchanged},
                              {T0 + 1150 * ms - 1, tiny, true, Action::drop, Reason::quiet},
                              {T0 + 1150 * ms, tiny, true, Action::encode, Reason::changed},
                              // A wanted keyframe passes at once.
                              {T0 + 1160 * ms, none, false, Action::encode, Reason::needed, true},
                              // A change of 0.5 % ends the quiet.
                              {T0 + 1170 * ms, threshold, true, Action::encode, Reason::changed},
                          });
    EXPECT_EQ(gate.quiet(), FrameGate::QuietState{});
}

TEST(FrameGate, AQuietSurfaceJudgesEachChangePerTierInterval) {
    constexpr std::uint64_t interval = 1'000'000'000 / 60;
    struct Case {
        const char* what;
        std::uint64_t tier;
        // After the last frame of the quiet spell.
        std::uint64_t after;
        double fraction;
        bool quiet;
    };
    const Case cases[] = {
        {"a 10 fps sample of changes tiny at 60 fps", interval, 100 * ms, 0.018, true},
        {"a 10 fps sample of a change that is not", interval, 100 * ms, 0.031, false},
        {"after a still spell, spread as in a 10 fps sample", interval, 500 * ms, 0.031, false},
        {"after a still spell, tiny", interval, 500 * ms, 0.018, true},
        {"at the tier's own rate, judged whole", interval, interval, threshold, false},
        {"a 30 fps tier spreads it over fewer intervals", 2 * interval, 100 * ms, 0.02, false},
        {"no tier: judged whole", 0, 100 * ms, 0.018, false},
    };
    for (const Case& c : cases) {
        FrameGate gate;
        gate.setTierInterval(c.tier);
        // Changes of 0.3 % a frame at 60 fps for over a second: quiet.
        std::uint64_t t = T0;
        for (; t <= T0 + 1100 * ms; t += interval) gate.admit({t, 0.003});
        ASSERT_TRUE(gate.quiet().isQuiet) << c.what;
        gate.admit({t - interval + c.after, c.fraction});
        EXPECT_EQ(gate.quiet().isQuiet, c.quiet) << c.what;
    }
}

TEST(FrameGate, QuietTellsWhenItBeginsAndEndsAndInputEndsIt) {
    FrameGate gate;
    EXPECT_FALSE(gate.admit({T0, none}).quietChanged);
    EXPECT_TRUE(gate.admit({T0 + 1001 * ms, none}).quietChanged);
    EXPECT_FALSE(gate.admit({T0 + 1200 * ms, none}).quietChanged);
    EXPECT_TRUE(gate.admit({T0 + 1300 * ms, std::nullopt}).quietChanged) << "no dirty list: a full change";
    EXPECT_EQ(gate.quiet(), FrameGate::QuietState{});

    gate.admit({T0 + 1400 * ms, none});
    gate.admit({T0 + 2500 * ms, none});
    ASSERT_TRUE(gate.quiet().isQuiet);
    EXPECT_TRUE(gate.noteInput(T0 + 2600 * ms));
    EXPECT_EQ(gate.quiet(), FrameGate::QuietState{});
    EXPECT_FALSE(gate.noteInput(T0 + 2700 * ms));
    // A tiny run begun before the input starts again after it.
    gate.admit({T0 + 2800 * ms, none});
    EXPECT_EQ(gate.quiet().tinySince, T0 + 2800 * ms);
}

TEST(FrameGate, AfterEightChangedFramesOnlyEveryTenthIsCompared) {
    FrameGate gate;
    std::vector<Row> rows;
    for (int i = 0; i < 8; ++i) rows.push_back({T0 + i * 16 * ms, std::nullopt, true, Action::encode, Reason::changed});
    for (int i = 8; i < 17; ++i) rows.push_back({T0 + i * 16 * ms, std::nullopt, true, Action::encode, Reason::thinned});
    // The tenth is compared again; found unchanged, it ends the run.
    rows.push_back({T0 + 17 * 16 * ms, std::nullopt, false, Action::drop, Reason::unchanged});
    rows.push_back({T0 + 18 * 16 * ms, std::nullopt, true, Action::encode, Reason::changed});
    expectDecisions(gate, rows);
    EXPECT_EQ(gate.compareSkip(), (FrameGate::CompareSkip{1, 0}));
}

TEST(FrameGate, TheFrameBeforeAThinnedOneNeedNotBeRemembered) {
    FrameGate gate;
    for (int i = 0; i < 7; ++i) gate.compared(T0 + i, true, false, true);
    EXPECT_FALSE(gate.nextSkipsCompare());
    gate.compared(T0 + 7, true, false, true);
    EXPECT_TRUE(gate.nextSkipsCompare());
    for (int i = 0; i < 8; ++i) gate.admit({T0 + 100 + i, std::nullopt});
    EXPECT_TRUE(gate.nextSkipsCompare());
    gate.admit({T0 + 200, std::nullopt});
    EXPECT_FALSE(gate.nextSkipsCompare()) << "the tenth is compared";
}

TEST(FrameGate, ChangedContentIsReportedAtMostOnceASecond) {
    FrameGate gate;
    struct Case {
        std::uint64_t t;
        bool changed;
        bool report;
    };
    const Case cases[] = {
        {T0, true, true},
        {T0 + 500 * ms, true, false},
        {T0 + 1000 * ms - 1, true, false},
        {T0 + 1000 * ms, false, false}, // unchanged content is no change
        {T0 + 1999 * ms, true, true},
        {T0 + 2100 * ms, true, false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(gate.admit({c.t, std::nullopt}).action, Action::compare);
        EXPECT_EQ(gate.compared(c.t, c.changed, false, true).reportContentChange, c.report) << c.t - T0;
    }
}

TEST(FrameGate, TheSourceRateFollowsPauseQuietAndTier) {
    FrameGate gate;
    EXPECT_EQ(gate.sourceRate(30, std::nullopt), 30);
    EXPECT_EQ(gate.sourceRate(30, 5), 10);
    EXPECT_EQ(gate.sourceRate(30, 20), 20);
    EXPECT_EQ(gate.sourceRate(30, 90), 30);
    gate.admit({T0, none});
    gate.admit({T0 + 1001 * ms, none});
    ASSERT_TRUE(gate.quiet().isQuiet);
    EXPECT_EQ(gate.sourceRate(60, 20), 10);
    EXPECT_EQ(gate.sourceRate(5, std::nullopt), 5);
    gate.setPaused(true);
    EXPECT_EQ(gate.sourceRate(60, 20), 1);
}

// Each step feeds the gate one fact or asks it to refine at t, then checks
// when it says the next refinement is due.
TEST(FrameGate, RefinesAStillPictureUntilTheEncoderHasItSharp) {
    enum class Do : std::uint8_t { encoded, output, refine, keyframeWanted, tier, pause };
    struct Step {
        Do what;
        std::uint64_t t;
        bool flag;
        std::optional<std::uint64_t> due;
        Reason refined = Reason::settled;
    };
    constexpr auto none = std::nullopt;
    const Step steps[] = {
        {Do::encoded, T0, false, none},
        // The picture could be sharper: a tenth of a second of stillness first.
        {Do::output, T0, true, T0 + 100 * ms},
        {Do::refine, T0 + 100 * ms - 1, false, T0 + 100 * ms},
        {Do::refine, T0 + 100 * ms, false, none, Reason::refinement},
        // Its output says more would help: 50 ms on.
        {Do::output, 0, true, T0 + 150 * ms},
        {Do::keyframeWanted, T0 + 150 * ms, true, none},
        {Do::refine, T0 + 150 * ms, false, none, Reason::refinement},
        // A slower tier paces refinements too.
        {Do::tier, 0, true, none},
        {Do::output, 0, true, T0 + 250 * ms},
        // New content starts a new still spell.
        {Do::encoded, T0 + 300 * ms, false, T0 + 400 * ms},
        {Do::pause, 0, true, none},
        {Do::pause, 0, false, T0 + 400 * ms},
        // As sharp as it gets: nothing more is due, ever.
        {Do::output, 0, false, none},
        {Do::refine, T0 + 10'000 * ms, false, none},
    };
    FrameGate gate;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        bool keyframeWanted = false;
        switch (step.what) {
        case Do::encoded: gate.noteEncoded(step.t); break;
        case Do::output: gate.noteOutput(step.flag); break;
        case Do::refine: EXPECT_EQ(gate.refine(step.t, false).reason, step.refined) << "step " << i; break;
        case Do::keyframeWanted:
            keyframeWanted = true;
            EXPECT_EQ(gate.refine(step.t, true).action, Action::drop) << "a refinement repairs no loss";
            break;
        case Do::tier: gate.setTierInterval(100 * ms); break;
        case Do::pause: gate.setPaused(step.flag); break;
        }
        EXPECT_EQ(gate.refinementDue(keyframeWanted), step.due) << "step " << i;
    }
}

TEST(FrameGate, AStillSpellRefinesAtMostSoManyTimes) {
    FrameGate gate;
    gate.noteEncoded(T0);
    int refined = 0;
    for (std::uint64_t t = T0; t < T0 + 60'000 * ms; t += 10 * ms) {
        gate.noteOutput(true);
        if (gate.refine(t, false).action == Action::encode) ++refined;
    }
    EXPECT_EQ(refined, FrameGate::maxRefinements);
    EXPECT_EQ(gate.refinementDue(false), std::nullopt);
    gate.noteEncoded(T0 + 61'000 * ms);
    EXPECT_EQ(gate.refinementDue(false), T0 + 61'100 * ms);
}

} // namespace
} // namespace quillmere
