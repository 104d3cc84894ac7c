// The text size over made-up displays: the ranking of X11's real modes, the
// saved record around a switch, and healing at the next launch.

#include "Platform/Defaults/Defaults.h"
#include "QuillmereMac/Display/DisplayTextSize.h"
#include "QuillmereMac/Tests/DisplayFakes.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "TestSupport/TemporaryFolder.h"

// Qt after our logger: Qt's emit keyword would rename Logger::emit.

#include <gtest/gtest.h>

#include <fstream>
#include <future>

namespace quillmere::testing {
namespace {

using LiveMode = DisplayTextSize::LiveMode;
using Mode = DisplayTextSize::Mode;

class DisplayTextSizeTest : public ::testing::Test {
protected:
    LogCapture log;
    TemporaryFolder folder;
    std::filesystem::path file = folder.path() / "quillmere.ini";
    Defaults defaults{file};
    FakeDisplays fake;

    void SetUp() override {
        fake.modes[1] = {liveMode(1512, 982), liveMode(1800, 1169), liveMode(1352, 878, 50), liveMode(1352, 878, 60, false),
                         liveMode(1352, 878, 59.9), liveMode(1147, 745)};
        fake.shown[1] = fake.modes[1][0];
    }

    // Once the writes asked for so far have ended: a record's removal is not waited for.
    std::optional<QVariantMap> saved(Defaults& from) const {
        std::promise<void> ended;
        from.afterWrites([&] { ended.set_value(); });
        ended.get_future().wait();
        return from.dictionaryForKey(DisplayTextSize::savedModeKey);
    }
    void save(QVariantMap record) { defaults.setValue(DisplayTextSize::savedModeKey, record); }
    static QVariantMap record(qlonglong display, qlonglong width, qlonglong height, double refresh = 60) {
        return {{"display", display}, {"width", width}, {"height", height}, {"pixelWidth", width}, {"refresh", refresh}};
    }
    std::vector<std::string> lines() const { return log.lines("display"); }
};

TEST(DisplayTextSizeRanking, RealModesOfTheSameShapeNearestToTheScaledWidth) {
    struct Case {
        const char* what;
        double f;
        std::vector<Mode> modes;
        std::int64_t width, height;
        std::optional<std::size_t> chosen;
    };
    const auto m = [](std::int64_t w, std::int64_t h, bool usable = true) { return Mode{w, h, w, usable}; };
    const Case cases[] = {
        {"level 1 of 1512x982", 1.15, {m(1352, 878), m(1147, 745), m(1800, 1169)}, 1512, 982, 0},
        {"level 2 of 1512x982", 1.35, {m(1352, 878), m(1147, 745), m(1800, 1169)}, 1512, 982, 1},
        {"1 % off the shape", 1.25, {m(808, 800)}, 1000, 1000, 0},
        {"2 % off the shape", 1.25, {m(816, 800)}, 1000, 1000, std::nullopt},
        {"an unusable mode", 1.15, {m(1352, 878, false), m(1147, 745)}, 1512, 982, 1},
        {"equally near: the earlier", 1.25, {m(790, 790), m(810, 810)}, 1000, 1000, 0},
        {"only larger or equal", 1.15, {m(1800, 1169), m(1512, 982)}, 1512, 982, std::nullopt},
        {"no scale", 1.0, {m(1352, 878)}, 1512, 982, std::nullopt},
        {"no reference", 1.15, {m(1352, 878)}, 0, 982, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(DisplayTextSize::rank(c.f, c.modes, c.width, c.height), c.chosen) << c.what;
}

TEST_F(DisplayTextSizeTest, LevelsSwitchAgainstTheOriginalAndLevelZeroRestoresIt) {
    DisplayTextSize textSize(fake.displays(), defaults);
    EXPECT_FALSE(textSize.setLevel(0));
    EXPECT_FALSE(textSize.setLevel(7));
    EXPECT_TRUE(fake.switches.empty());

    std::optional<QVariantMap> atSwitch;
    fake.onSwitch = [&] { atSwitch = saved(defaults); };
    ASSERT_TRUE(textSize.setLevel(1));
    ASSERT_TRUE(atSwitch) << "the record is written before the switch";
    EXPECT_EQ((*atSwitch)["width"].toLongLong(), 1512);
    // Of the three 1352x878 modes the usable one nearest 60 Hz.
    EXPECT_FALSE(textSize.setLevel(1));
    ASSERT_TRUE(textSize.setLevel(2));
    EXPECT_EQ(fake.switches, (std::vector<std::string>{"1 1352x878@59.9 app", "1 1147x745@60 app"}));
    EXPECT_EQ((*saved(defaults))["width"].toLongLong(), 1512) << "the first original is kept";

    ASSERT_TRUE(textSize.setLevel(0));
    EXPECT_EQ(fake.switches.back(), "1 1512x982@60 app");
    EXPECT_FALSE(saved(defaults));
    EXPECT_EQ(lines(), (std::vector<std::string>{"text size 1: 1352x878 looks-like", "text size 2: 1147x745 looks-like",
                                                 "text size 0: 1512x982 looks-like"}));
}

TEST_F(DisplayTextSizeTest, AFailedSwitchKeepsTheRecordForTheNextLaunchToFindNothingToHeal) {
    fake.refuse = true;
    {
        DisplayTextSize textSize(fake.displays(), defaults);
        EXPECT_FALSE(textSize.setLevel(1));
        EXPECT_EQ(lines(), std::vector<std::string>{"text size 1: mode change failed"});
    }
    fake.refuse = false;
    fake.switches.clear();
    Defaults relaunched(file);
    ASSERT_TRUE(saved(relaunched));
    DisplayTextSize next(fake.displays(), relaunched);
    EXPECT_FALSE(next.heal());
    EXPECT_TRUE(fake.switches.empty());
    EXPECT_FALSE(saved(relaunched));
}

TEST_F(DisplayTextSizeTest, ADisplayIsNotChangedWhenItsOriginalCannotBeSaved) {
    std::ofstream(folder.path() / "file") << "x";
    Defaults unwritable(folder.path() / "file" / "quillmere.ini");
    DisplayTextSize textSize(fake.displays(), unwritable);
    EXPECT_FALSE(textSize.setLevel(1));
    EXPECT_TRUE(fake.switches.empty());
    EXPECT_EQ(lines(), std::vector<std::string>{"text size 1: original mode not saved, not changed"});
}

TEST_F(DisplayTextSizeTest, HealingSwitchesBackToTheSavedModeOnceItIsOffered) {
    struct Case {
        const char* what;
        QVariantMap saved;
        bool refuse;
        bool healed;
        std::vector<std::string> switches;
        std::vector<std::string> lines;
        bool recordKept;
    };
    const Case cases[] = {
        {"saved display gone: the main one", record(9, 1512, 982), false, true, {"1 1512x982@60 session"},
         {"heal: restored 1512x982 from 1147x745 ok=true"}, false},
        {"only a usable match", record(1, 1352, 878, 60), false, true, {"1 1352x878@59.9 session"},
         {"heal: restored 1352x878 from 1147x745 ok=true"}, false},
        {"saved mode no longer offered", record(1, 1600, 1000), false, false, {},
         {"heal: saved mode 1600x1000 no longer offered"}, false},
        {"refused: tried again next launch", record(1, 1512, 982), true, false, {"1 1512x982@60 session"},
         {"heal: restored 1512x982 from 1147x745 ok=false"}, true},
        {"not a record", {{"display", 1}, {"width", "1512"}, {"height", 982}, {"pixelWidth", 1512}}, false, false, {},
         {}, true},
    };
    for (const Case& c : cases) {
        fake.shown[1] = fake.modes[1][5];
        fake.switches.clear();
        fake.refuse = c.refuse;
        log.clear();
        save(c.saved);
        DisplayTextSize textSize(fake.displays(), defaults);
        EXPECT_EQ(textSize.heal(), c.healed) << c.what;
        EXPECT_EQ(fake.switches, c.switches) << c.what;
        EXPECT_EQ(lines(), c.lines) << c.what;
        EXPECT_EQ(saved(defaults).has_value(), c.recordKept) << c.what;
    }
}

TEST_F(DisplayTextSizeTest, HealingLeavesARunThatChangedTheDisplayAlone) {
    DisplayTextSize textSize(fake.displays(), defaults);
    ASSERT_TRUE(textSize.setLevel(1));
    EXPECT_FALSE(textSize.heal());
    EXPECT_TRUE(saved(defaults)) << "its own record";
    fake.shown.erase(1);
    EXPECT_FALSE(textSize.setLevel(0)) << "a display without a mode";
}

} // namespace
} // namespace quillmere::testing
