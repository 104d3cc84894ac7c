#include "QuillmereMac/Encoder/RateSettings.h"

#include <gtest/gtest.h>

#include <set>

namespace quillmere {
namespace {

using Values = RateSettings::Values;
using Change = RateSettings::Change;

// An encoder that refuses some values: the settings go on at the last it
// took, every refusal is counted and the first of each kind is marked.
TEST(RateSettings, ARefusedChangeKeepsTheLastAcceptedAndIsCounted) {
    const std::set<int> refusedRates = {900, 950};
    const int refusedBuffer = 7;
    const struct {
        Values asked;
        bool refused;
        Change change;
        bool first;
        Values applied;
    } steps[] = {
        {{200, 50}, false, {}, false, {200, 50}},
        {{900, 50}, true, Change::rate, true, {200, 50}},
        {{950, 90}, true, Change::rate, false, {200, 50}},
        {{200, 7}, true, Change::buffer, true, {200, 50}},
        {{300, 7}, false, {}, false, {300, 7}},
        {{300, 60}, false, {}, false, {300, 60}},
        {{900, 60}, true, Change::rate, false, {300, 60}},
    };
    RateSettings settings({100, 25});
    int calls = 0;
    const auto apply = [&](const Values& asked) {
        ++calls;
        return !refusedRates.contains(asked.rateKbit) && !(asked.bufferKbit == refusedBuffer && asked.rateKbit == 200);
    };
    std::int64_t refusals = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(::testing::Message() << step.asked.rateKbit << " kbit/s, " << step.asked.bufferKbit << " kbit");
        const auto refusal = settings.change(step.asked, apply);
        ASSERT_EQ(refusal.has_value(), step.refused);
        if (refusal) {
            ++refusals;
            EXPECT_EQ(refusal->change, step.change);
            EXPECT_EQ(refusal->first, step.first);
            EXPECT_EQ(refusal->asked, step.asked);
            EXPECT_EQ(refusal->kept, step.applied);
        }
        EXPECT_EQ(settings.applied(), step.applied);
        EXPECT_EQ(settings.refusals(), refusals);
    }
    // Values already in force are not given again.
    const int before = calls;
    EXPECT_FALSE(settings.change({300, 60}, apply));
    EXPECT_EQ(calls, before);
}

} // namespace
} // namespace quillmere
