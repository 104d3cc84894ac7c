#include "QuillmereMac/Input/InputInjector.h"
#include "QuillmereMac/Input/Utf16Chunks.h"
#include "QuillmereMac/Tests/RecordingPoster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quillmere::testing {
namespace {

using Type = PostedEvent::Type;
using Phase = PostedEvent::ScrollPhase;
constexpr std::uint64_t ms = 1'000'000;
constexpr std::uint64_t T0 = 1'000 * ms;
constexpr std::uint64_t shift = PostedEvent::shiftFlag;
const Rect frame{100, 50, 800, 600};

PostedEvent keyEvent(Type type, std::uint8_t code, std::uint64_t flags = 0, bool autorepeat = false) {
    PostedEvent event = PostedEvent::key(type, code, flags);
    event.autorepeat = autorepeat;
    return event;
}
PostedEvent mouseEvent(Type type, double x, double y, std::uint8_t button = 0) {
    return PostedEvent::mouse(type, {x, y}, button, 0);
}
PostedEvent scrollEvent(double x, double y, int dy, int dx, bool pixel, Phase phase, std::uint64_t flags = 0) {
    PostedEvent event = PostedEvent::mouse(Type::scrollWheel, {x, y}, 0, flags);
    event.wheel1 = dy;
    event.wheel2 = dx;
    event.unit = pixel ? PostedEvent::ScrollUnit::pixel : PostedEvent::ScrollUnit::line;
    event.continuous = pixel;
    event.phase = phase;
    return event;
}
PostedEvent textEvent(Type type, std::u16string text) {
    PostedEvent event = PostedEvent::key(type, 0, 0);
    event.text = std::move(text);
    return event;
}

class InputInjectorTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    InputInjector injector{poster, frame};

    std::vector<PostedEvent> run(std::initializer_list<InjectAction> actions, std::uint64_t now = T0) {
        for (const InjectAction& action : actions) injector.post(action, now);
        return poster->take();
    }
};

TEST_F(InputInjectorTest, ModifiersSetTheirFlagOnEveryEventUntilReleased) {
    EXPECT_EQ(run({inject::KeyDown{225}, inject::KeyDown{4}, inject::KeyUp{4}, inject::KeyUp{225}}),
              (std::vector{keyEvent(Type::flagsChanged, 50, shift), keyEvent(Type::keyDown, 38, shift),
                           keyEvent(Type::keyUp, 38, shift), keyEvent(Type::flagsChanged, 50, 0)}));
    // Left and right share the flag: the first one up clears it.
    EXPECT_EQ(run({inject::KeyDown{225}, inject::KeyDown{229}, inject::KeyUp{225}}),
              (std::vector{keyEvent(Type::flagsChanged, 50, shift), keyEvent(Type::flagsChanged, 62, shift),
                           keyEvent(Type::flagsChanged, 50, 0)}));
    EXPECT_EQ(injector.heldFlags(), 0u);
    EXPECT_EQ(run({inject::KeyDown{224}, inject::KeyDown{226}, inject::KeyDown{231}, inject::ButtonDown{InputButton::left}}),
              (std::vector{keyEvent(Type::flagsChanged, 37, 0x40000), keyEvent(Type::flagsChanged, 64, 0xC0000),
                           keyEvent(Type::flagsChanged, 134, 0x1C0000),
                           PostedEvent::mouse(Type::leftMouseDown, {500, 350}, 0, 0x1C0000)}));
}

TEST_F(InputInjectorTest, UnknownUsagesAreCountedAndChangeNothing) {
    run({inject::KeyDown{225}, inject::KeyDown{4}});
    EXPECT_TRUE(run({inject::KeyDown{0}, inject::KeyDown{70}, inject::KeyUp{232}, inject::KeyUp{65535}}).empty());
    EXPECT_EQ(injector.unsupportedKeys(), 4);
    EXPECT_EQ(injector.heldFlags(), shift);
    EXPECT_EQ(injector.keyRepeat().usage, 4);
    EXPECT_EQ(injector.posted(), 2);
}

TEST_F(InputInjectorTest, ThePointerStaysInsideTheFrame) {
    EXPECT_EQ(injector.cursor(), (PostedEvent::Location{500, 350}));
    EXPECT_EQ(run({inject::MoveAbsolute{65535, 65535}, inject::MoveAbsolute{0, 0}, inject::MoveAbsolute{32768, 0},
                   inject::MoveRelative{-32768, 32767}, inject::MoveRelative{10, -5}}),
              (std::vector{mouseEvent(Type::mouseMoved, 899, 649), mouseEvent(Type::mouseMoved, 100, 50),
                           mouseEvent(Type::mouseMoved, 100 + 32768 / 65535.0 * 800, 50),
                           mouseEvent(Type::mouseMoved, 100, 649), mouseEvent(Type::mouseMoved, 110, 644)}));
}

TEST_F(InputInjectorTest, ButtonsDragWhileHeld) {
    EXPECT_EQ(run({inject::ButtonDown{InputButton::left}, inject::MoveRelative{1, 0}, inject::ButtonDown{InputButton::right},
                   inject::ButtonUp{InputButton::left}, inject::MoveRelative{1, 0}, inject::ButtonUp{InputButton::right},
                   inject::ButtonDown{InputButton::back}, inject::MoveRelative{1, 0}, inject::ButtonUp{InputButton::back},
                   inject::ButtonDown{InputButton::forward}, inject::ButtonUp{InputButton::forward},
                   inject::ButtonDown{InputButton::middle}, inject::ButtonUp{InputButton::middle},
                   inject::MoveRelative{1, 0}}),
              (std::vector{mouseEvent(Type::leftMouseDown, 500, 350), mouseEvent(Type::leftMouseDragged, 501, 350),
                           mouseEvent(Type::rightMouseDown, 501, 350, 1), mouseEvent(Type::leftMouseUp, 501, 350),
                           mouseEvent(Type::rightMouseDragged, 502, 350), mouseEvent(Type::rightMouseUp, 502, 350, 1),
                           mouseEvent(Type::otherMouseDown, 502, 350, 3), mouseEvent(Type::otherMouseDragged, 503, 350),
                           mouseEvent(Type::otherMouseUp, 503, 350, 3), mouseEvent(Type::otherMouseDown, 503, 350, 4),
                           mouseEvent(Type::otherMouseUp, 503, 350, 4), mouseEvent(Type::otherMouseDown, 503, 350, 2),
                           mouseEvent(Type::otherMouseUp, 503, 350, 2), mouseEvent(Type::mouseMoved, 504, 350)}));
}

TEST_F(InputInjectorTest, TextGoesInChunksOfTwentyUnitsNeverSplittingAPair) {
    const std::u16string a20(20, u'a');
    EXPECT_EQ(run({inject::Text{std::string(45, 'a')}}),
              (std::vector{textEvent(Type::keyDown, a20), textEvent(Type::keyUp, a20), textEvent(Type::keyDown, a20),
                           textEvent(Type::keyUp, a20), textEvent(Type::keyDown, u"aaaaa"),
                           textEvent(Type::keyUp, u"aaaaa")}));
    const std::u16string a19(19, u'a');
    std::string emojiLast(19, 'a');
    emojiLast.append("\U0001F600");
    EXPECT_EQ(run({inject::Text{emojiLast}}),
              (std::vector{textEvent(Type::keyDown, a19), textEvent(Type::keyUp, a19),
                           textEvent(Type::keyDown, u"\U0001F600"), textEvent(Type::keyUp, u"\U0001F600")}));
    // Held flags do not reach text; empty or broken text posts nothing.
    run({inject::KeyDown{225}});
    EXPECT_EQ(run({inject::Text{"h\xc3\xa9"}}),
              (std::vector{textEvent(Type::keyDown, u"h\u00e9"), textEvent(Type::keyUp, u"h\u00e9")}));
    EXPECT_TRUE(run({inject::Text{""}, inject::Text{"a\xff"}, inject::Text{"\xed\xa0\x80"}}).empty());
    EXPECT_EQ(utf16Chunks("\U0001F600\U0001F600", 3), (std::vector<std::u16string>{u"\U0001F600", u"\U0001F600"}));
}

TEST_F(InputInjectorTest, AHeldKeyRepeatsAfterTheDelayThenEveryInterval) {
    const auto repeat = [](std::uint8_t code, std::uint64_t flags = 0) {
        return keyEvent(Type::keyDown, code, flags, true);
    };
    run({inject::KeyDown{4}});
    const auto tick = [&](std::uint64_t at) {
        injector.repeatKeyIfDue(at);
        return poster->take();
    };
    EXPECT_TRUE(tick(T0 + 374 * ms).empty());
    EXPECT_EQ(tick(T0 + 375 * ms), std::vector{repeat(38)});
    EXPECT_TRUE(tick(T0 + 464 * ms).empty());
    EXPECT_EQ(tick(T0 + 465 * ms), std::vector{repeat(38)});
    // Another key going up leaves it repeating; a modifier shows in its flags.
    run({inject::KeyDown{5}, inject::KeyDown{4}, inject::KeyUp{5}, inject::KeyDown{225}}, T0 + 500 * ms);
    EXPECT_EQ(injector.keyRepeat().nextNs, T0 + 875 * ms);
    EXPECT_EQ(tick(T0 + 875 * ms), std::vector{repeat(38, shift)});
    // A late tick: the next repeat is at least half an interval later.
    EXPECT_EQ(tick(T0 + 1'100 * ms), std::vector{repeat(38, shift)});
    EXPECT_EQ(injector.keyRepeat().nextNs, T0 + 1'145 * ms);
    EXPECT_EQ(tick(T0 + 1'145 * ms), std::vector{repeat(38, shift)});
    EXPECT_EQ(injector.keyRepeat().nextNs, T0 + 1'235 * ms);
    run({inject::KeyUp{4}}, T0 + 1'200 * ms);
    EXPECT_FALSE(injector.hasPendingWork());
    EXPECT_TRUE(tick(T0 + 2'000 * ms).empty());
}

TEST_F(InputInjectorTest, PixelScrollsFormAGestureThatEndsWhenIdle) {
    EXPECT_EQ(run({inject::Scroll{0, -3, ScrollUnit::pixel}}, T0),
              std::vector{scrollEvent(500, 350, -3, 0, true, Phase::began)});
    EXPECT_EQ(run({inject::Scroll{2, -3, ScrollUnit::pixel}}, T0 + 30 * ms),
              std::vector{scrollEvent(500, 350, -3, 2, true, Phase::changed)});
    EXPECT_EQ(run({inject::Scroll{0, 1, ScrollUnit::line}}, T0 + 50 * ms),
              std::vector{scrollEvent(500, 350, 1, 0, false, Phase::none)});
    EXPECT_EQ(run({inject::Scroll{0, -3, ScrollUnit::pixel}}, T0 + 60 * ms),
              std::vector{scrollEvent(500, 350, -3, 0, true, Phase::changed)});
    injector.endScrollIfIdle(T0 + 149 * ms);
    EXPECT_TRUE(poster->take().empty());
    run({inject::KeyDown{225}});
    injector.endScrollIfIdle(T0 + 150 * ms);
    EXPECT_EQ(poster->take(), std::vector{scrollEvent(500, 350, 0, 0, true, Phase::ended)});
    EXPECT_FALSE(injector.hasPendingWork());
    EXPECT_EQ(run({inject::Scroll{0, 1, ScrollUnit::pixel}}, T0 + 200 * ms),
              std::vector{scrollEvent(500, 350, 1, 0, true, Phase::began, shift)});
}

TEST(KeyRepeat, SystemValuesAreFlooredAndNonsenseFallsBack) {
    struct Row {
        std::optional<double> ms;
        std::uint64_t delayNs;
        std::uint64_t intervalNs;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {std::nullopt, 375 * ms, 90 * ms}, {0, 150 * ms, 15 * ms},     {1, 150 * ms, 15 * ms},
        {40, 150 * ms, 40 * ms},           {660, 660 * ms, 660 * ms},  {-5, 150 * ms, 15 * ms},
        {std::nan(""), 375 * ms, 90 * ms}, {inf, 375 * ms, 90 * ms},   {-inf, 375 * ms, 90 * ms},
        {1e300, 375 * ms, 90 * ms},        {60'000, 60'000 * ms, 60'000 * ms}, {60'001, 375 * ms, 90 * ms},
    };
    for (const Row& row : rows) {
        const auto rate = row.ms ? std::optional(EventPosting::KeyRepeatRate{*row.ms, *row.ms}) : std::nullopt;
        const KeyRepeat repeat = KeyRepeat::from(rate);
        EXPECT_EQ(repeat.delayNs, row.delayNs) << row.ms.value_or(-1);
        EXPECT_EQ(repeat.intervalNs, row.intervalNs) << row.ms.value_or(-1);
        EXPECT_EQ(repeat.usage, std::nullopt);
    }
}

} // namespace
} // namespace quillmere::testing
