#include "Platform/EventPosting/EventPosterX11.h"
#include "Platform/EventPosting/KeyTable.h"
#include "Platform/EventPosting/Tests/InputRecorderX11.h"
#include "Platform/EventPosting/Tests/KeyRepeatRateX11.h"
#include "Platform/ScreenCapture/Tests/XvfbServer.h"

#include <xcb/xtest.h>

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace quillmere {
namespace {

using testing::InputRecorderX11;
using Event = PostedEvent;
using Type = PostedEvent::Type;

constexpr int left = 100;
constexpr int top = 50;

// One server for the suite; a fresh window and poster for each test.
class EventPosterX11Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new testing::XvfbServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(server_->ready()) << server_->failure();
        recorder_ = std::make_unique<InputRecorderX11>(server_->displayName(), left, top, 400, 300);
        ASSERT_TRUE(recorder_->ok());
        auto opened = EventPosterX11::open({server_->displayName(), 100'000'000, 50'000'000});
        ASSERT_TRUE(opened) << opened.error().description();
        poster_ = *opened;
        poster_->post(Event::mouse(Type::mouseMoved, {left + 10.0, top + 10.0}, 0, 0));
        ASSERT_TRUE(recorder_->waitForCount(XCB_MOTION_NOTIFY, 1));
        recorder_->clear();
    }

    xcb_connection_t* x() const { return control_.connection(); }

    static Event key(Type type, std::uint8_t keyCode, bool autorepeat = false) {
        Event event = Event::key(type, keyCode, 0);
        event.autorepeat = autorepeat;
        return event;
    }
    static Event text(std::u16string chunk) {
        Event event = Event::key(Type::keyDown, 0, 0);
        event.text = std::move(chunk);
        return event;
    }

    // Posts, then waits until the server has handled it all.
    void post(std::initializer_list<Event> events) {
        for (const Event& event : events) poster_->post(event);
        poster_->sync();
    }

    std::vector<std::uint8_t> details(std::uint8_t type) const {
        std::vector<std::uint8_t> result;
        for (const auto& event : recorder_->ofType(type)) result.push_back(event.detail);
        return result;
    }

    bool keyIsDown(std::uint8_t keyCode) {
        auto* reply = xcb_query_keymap_reply(x(), xcb_query_keymap(x()), nullptr);
        const bool down = reply && (reply->keys[keyCode / 8] >> (keyCode % 8)) & 1;
        std::free(reply);
        return down;
    }
    bool serverRepeats(std::uint8_t keyCode) {
        auto* reply = xcb_get_keyboard_control_reply(x(), xcb_get_keyboard_control(x()), nullptr);
        const bool repeats = reply && (reply->auto_repeats[keyCode / 8] >> (keyCode % 8)) & 1;
        std::free(reply);
        return repeats;
    }
    std::uint16_t pointerMask() {
        auto* reply = xcb_query_pointer_reply(x(), xcb_query_pointer(x(), control_.root()), nullptr);
        const std::uint16_t mask = reply ? reply->mask : 0xffff;
        std::free(reply);
        return mask;
    }
    std::uint32_t keysymOf(std::uint8_t keyCode) {
        auto* reply = xcb_get_keyboard_mapping_reply(x(), xcb_get_keyboard_mapping(x(), keyCode, 1), nullptr);
        const std::uint32_t keysym = reply ? xcb_get_keyboard_mapping_keysyms(reply)[0] : 0xffffffff;
        std::free(reply);
        return keysym;
    }

    // The test's own connection, for looking at the server's state.
    struct Control {
        explicit Control(const std::string& display) : c(xcb_connect(display.c_str(), nullptr)) {}
        ~Control() { xcb_disconnect(c); }
        xcb_connection_t* connection() const { return c; }
        xcb_window_t root() const { return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root; }
        void sync() const { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }
        xcb_connection_t* c;
    };

    static testing::XvfbServer* server_;
    Control control_{server_->displayName()};
    std::unique_ptr<InputRecorderX11> recorder_;
    std::shared_ptr<EventPosterX11> poster_;
};

testing::XvfbServer* EventPosterX11Test::server_ = nullptr;

// What each usage types under the server's evdev rules and US layout; an
// error in the table shows as another key's symbol.
TEST_F(EventPosterX11Test, EveryUsageOfTheKeyTableTypesItsKey) {
    std::map<std::uint16_t, std::uint32_t> expected;
    for (std::uint16_t usage = 4; usage <= 29; ++usage) expected[usage] = 'a' + (usage - 4);
    for (std::uint16_t usage = 30; usage <= 38; ++usage) expected[usage] = '1' + (usage - 30);
    expected[39] = '0';
    const std::pair<std::uint16_t, std::uint32_t> others[] = {
        {40, 0xff0d}, {41, 0xff1b}, {42, 0xff08}, {43, 0xff09}, {44, ' '}, {45, '-'}, {46, '='}, {47, '['},
        {48, ']'}, {49, '\\'}, {50, '\\'}, {51, ';'}, {52, '\''}, {53, '`'}, {54, ','}, {55, '.'}, {56, '/'},
        {57, 0xffe5}, {73, 0xff63}, {74, 0xff50}, {75, 0xff55}, {76, 0xffff}, {77, 0xff57}, {78, 0xff56},
        {79, 0xff53}, {80, 0xff51}, {81, 0xff54}, {82, 0xff52}, {83, 0xff7f}, {84, 0xffaf}, {85, 0xffaa},
        {86, 0xffad}, {87, 0xffab}, {88, 0xff8d}, {89, 0xff9c}, {90, 0xff99}, {91, 0xff9b}, {92, 0xff96},
        {93, 0xff9d}, {94, 0xff98}, {95, 0xff95}, {96, 0xff97}, {97, 0xff9a}, {98, 0xff9e}, {99, 0xff9f},
        {100, '<'}, {103, 0xffbd},
        // The evdev rules give F13 to F20 launcher and microphone symbols; F19 has none.
        {104, 0x1008ff81}, {105, 0x1008ff45}, {106, 0x1008ff46}, {107, 0x1008ff47}, {108, 0x1008ff48},
        {109, 0x1008ff49}, {110, 0}, {111, 0x1008ffb2}, {127, 0x1008ff12}, {128, 0x1008ff13}, {129, 0x1008ff11},
        // No symbol in the US layout.
        {135, 0}, {137, 0}, {144, 0xff31}, {145, 0xff34},
        {224, 0xffe3}, {225, 0xffe1}, {226, 0xffe9}, {227, 0xffeb}, {228, 0xffe4}, {229, 0xffe2}, {230, 0xffea},
        {231, 0xffec}};
    for (const auto& [usage, keysym] : others) expected[usage] = keysym;
    for (std::uint16_t usage = 58; usage <= 69; ++usage) expected[usage] = 0xffbe + (usage - 58);
    ASSERT_EQ(expected.size(), KeyTable::entries().size());

    for (const KeyTable::Entry& entry : KeyTable::entries()) {
        poster_->post(key(Type::keyDown, entry.keyCode));
        poster_->post(key(Type::keyUp, entry.keyCode));
    }
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_RELEASE, KeyTable::entries().size()));
    const auto presses = recorder_->ofType(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), KeyTable::entries().size());
    for (std::size_t i = 0; i < presses.size(); ++i) {
        const KeyTable::Entry& entry = KeyTable::entries()[i];
        EXPECT_EQ(presses[i].keysym, expected.at(entry.usage)) << "usage " << entry.usage;
    }
    EXPECT_EQ(KeyTable::find(4)->keyCode, 38);
    EXPECT_FALSE(KeyTable::find(70));
    EXPECT_FALSE(KeyTable::find(232));
}

TEST_F(EventPosterX11Test, AHeldKeyRepeatsOnlyWhenThePosterSays) {
    ASSERT_TRUE(testing::setKeyRepeatRate(x(), 20, 10));
    EXPECT_EQ(poster_->keyRepeatRate(), (EventPosting::KeyRepeatRate{20, 10}));
    // The server repeats a key held by plain XTest at this rate...
    xcb_test_fake_input(x(), XCB_KEY_PRESS, 39, XCB_CURRENT_TIME, control_.root(), 0, 0, 0);
    control_.sync();
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_PRESS, 4));
    xcb_test_fake_input(x(), XCB_KEY_RELEASE, 39, XCB_CURRENT_TIME, control_.root(), 0, 0, 0);
    control_.sync();
    ASSERT_TRUE(recorder_->waitUntil([](const auto& events) {
        return !events.empty() && events.back().type == XCB_KEY_RELEASE &&
               std::count_if(events.begin(), events.end(), [](const auto& e) { return e.type == XCB_KEY_PRESS; }) ==
                   std::count_if(events.begin(), events.end(), [](const auto& e) { return e.type == XCB_KEY_RELEASE; });
    }));
    recorder_->clear();

    // ...but not one held through the poster, which repeats as told: a
    // release and a press. Modifiers and locks do not repeat at all.
    Event shift = key(Type::flagsChanged, 50);
    shift.flags = PostedEvent::shiftFlag;
    post({key(Type::keyDown, 38), shift});
    EXPECT_FALSE(serverRepeats(38));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    post({key(Type::keyDown, 38, true), key(Type::keyDown, 50, true), key(Type::keyDown, 66),
          key(Type::keyDown, 66, true), key(Type::keyUp, 66), key(Type::keyUp, 38), key(Type::flagsChanged, 50)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_RELEASE, 4));
    EXPECT_EQ(details(XCB_KEY_PRESS), (std::vector<std::uint8_t>{38, 50, 38, 66}));
    EXPECT_EQ(details(XCB_KEY_RELEASE), (std::vector<std::uint8_t>{38, 66, 38, 50}));
    EXPECT_TRUE(serverRepeats(38));
    EXPECT_FALSE(serverRepeats(66));
    testing::setKeyRepeatRate(x(), 660, 40);
}

TEST_F(EventPosterX11Test, ButtonsAndWheelsActWhereTheEventSays) {
    struct Row {
        Event event;
        std::vector<std::uint8_t> presses;
        std::optional<std::pair<int, int>> at;
        std::vector<std::uint8_t> releases;
    };
    const auto button = [](Type type, std::uint8_t number, double px, double py) {
        return Event::mouse(type, {left + px, top + py}, number, 0);
    };
    const auto scroll = [](Event::ScrollUnit unit, int dy, int dx, Event::ScrollPhase phase) {
        Event event = Event::mouse(Type::scrollWheel, {left + 5.0, top + 6.0}, 0, 0);
        event.unit = unit;
        event.wheel1 = dy;
        event.wheel2 = dx;
        event.phase = phase;
        return event;
    };
    using Unit = Event::ScrollUnit;
    using Phase = Event::ScrollPhase;
    const double nan = std::nan("");
    const Row rows[] = {
        {button(Type::leftMouseDown, 0, 20, 30), {1}, std::pair{20, 30}, {}},
        {button(Type::leftMouseDown, 0, 20, 30), {}, {}, {}}, // already down
        {button(Type::leftMouseUp, 0, 20, 30), {}, {}, {1}},
        {button(Type::rightMouseDown, 1, 21, 30), {3}, std::pair{21, 30}, {}},
        {button(Type::rightMouseUp, 1, 21, 30), {}, {}, {3}},
        {button(Type::otherMouseDown, 2, 22, 30), {2}, std::pair{22, 30}, {}},
        {button(Type::otherMouseUp, 2, 22, 30), {}, {}, {2}},
        {button(Type::otherMouseDown, 3, 23, 30), {8}, std::pair{23, 30}, {}},
        {button(Type::otherMouseUp, 3, 23, 30), {}, {}, {8}},
        {button(Type::otherMouseDown, 4, nan, 30), {9}, std::pair{23, 30}, {}}, // no place: where it is
        {button(Type::otherMouseUp, 4, 23, 30), {}, {}, {9}},
        {scroll(Unit::line, 2, 0, Phase::none), {4, 4}, std::pair{5, 6}, {4, 4}},
        {scroll(Unit::line, -1, 1, Phase::none), {5, 6}, {}, {5, 6}},
        {scroll(Unit::line, 0, -1, Phase::none), {7}, {}, {7}},
        {scroll(Unit::line, 30000, 0, Phase::none), std::vector<std::uint8_t>(64, 4), {}, std::vector<std::uint8_t>(64, 4)},
        {scroll(Unit::pixel, 100, 0, Phase::began), {}, {}, {}},
        {scroll(Unit::pixel, 30, 0, Phase::changed), {4}, {}, {4}},     // 130: one click, 10 left over
        {scroll(Unit::pixel, -119, 0, Phase::changed), {}, {}, {}},     // turned: starts again from 0
        {scroll(Unit::pixel, -1, -240, Phase::changed), {5, 7, 7}, {}, {5, 7, 7}},
        {scroll(Unit::pixel, 0, 0, Phase::ended), {}, {}, {}},
        {scroll(Unit::pixel, 100, 0, Phase::began), {}, {}, {}},        // a new gesture starts from 0
        {scroll(Unit::pixel, 19, 0, Phase::changed), {}, {}, {}},
    };
    for (const Row& row : rows) {
        recorder_->clear();
        post({row.event});
        ASSERT_TRUE(recorder_->waitForCount(XCB_BUTTON_RELEASE, row.releases.size()));
        ASSERT_TRUE(recorder_->waitForCount(XCB_BUTTON_PRESS, row.presses.size()));
        EXPECT_EQ(details(XCB_BUTTON_PRESS), row.presses) << static_cast<int>(row.event.type);
        EXPECT_EQ(details(XCB_BUTTON_RELEASE), row.releases);
        if (row.at) {
            const auto presses = recorder_->ofType(XCB_BUTTON_PRESS);
            ASSERT_FALSE(presses.empty());
            EXPECT_EQ(std::pair(int{presses[0].x}, int{presses[0].y}), *row.at);
        }
    }
    // Moves with no place at all are not posted.
    recorder_->clear();
    post({Event::mouse(Type::mouseMoved, {nan, 3}, 0, 0),
          Event::mouse(Type::mouseMoved, {INFINITY, 3}, 0, 0),
          Event::mouse(Type::leftMouseDragged, {left + 7.9, top + 8.2}, 0, 0)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_MOTION_NOTIFY, 1));
    const auto moves = recorder_->ofType(XCB_MOTION_NOTIFY);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(std::pair(int{moves[0].x}, int{moves[0].y}), std::pair(7, 8));
}

TEST_F(EventPosterX11Test, TextOnTheKeyboardUsesItsKeysAndBorrowsCodesForTheRest) {
    post({text(u"h\u00e9llo \u2713 \U0001F600A")});
    Event shifted = key(Type::flagsChanged, 62);
    shifted.flags = PostedEvent::shiftFlag;
    post({shifted, text(u"a!"), key(Type::flagsChanged, 62)});
    const std::vector<std::uint32_t> typed = {'h', 0xe9, 'l', 'l', 'o', ' ', 0x1002713, ' ', 0x101f600,
                                              0xffe1, 'A', 0xffe2, 'a', '!'};
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_PRESS, typed.size()));
    EXPECT_EQ(recorder_->pressedKeysyms(), typed);

    // Borrowed codes carry nothing once the text has settled.
    std::set<std::uint8_t> borrowed;
    for (const auto& event : recorder_->ofType(XCB_KEY_PRESS))
        if (event.keysym == 0xe9 || event.keysym == 0x1002713 || event.keysym == 0x101f600 ||
            (event.keysym == 'a' && event.detail != 38))
            borrowed.insert(event.detail);
    EXPECT_EQ(borrowed.size(), 4u);
    bool restored = false;
    for (int i = 0; i < 200 && !restored; ++i) {
        restored = std::all_of(borrowed.begin(), borrowed.end(), [&](std::uint8_t code) { return keysymOf(code) == 0; });
        if (!restored) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(restored);
}

TEST_F(EventPosterX11Test, MoreCharactersThanSpareCodesReuseThemOnceSettled) {
    std::u16string cjk;
    std::vector<std::uint32_t> expected;
    for (char16_t c = 0x4e00; c < 0x4e00 + 24; ++c) {
        cjk.push_back(c);
        expected.push_back(0x01000000u | c);
    }
    post({text(cjk)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_PRESS, expected.size()));
    EXPECT_EQ(recorder_->pressedKeysyms(), expected);
}

TEST_F(EventPosterX11Test, ReleaseAllLetsGoOfKeysButtonsAndLocks) {
    Event shift = key(Type::flagsChanged, 50);
    shift.flags = PostedEvent::shiftFlag;
    post({key(Type::keyDown, 38), shift, key(Type::keyDown, 66), key(Type::keyUp, 66), key(Type::keyDown, 77),
          Event::mouse(Type::leftMouseDown, {left + 3.0, top + 3.0}, 0, 0),
          Event::mouse(Type::otherMouseDown, {left + 3.0, top + 3.0}, 3, 0)});
    EXPECT_EQ(poster_->heldCount(), 5u);
    EXPECT_NE(pointerMask() & XCB_MOD_MASK_LOCK, 0);
    poster_->releaseAll();
    poster_->sync();
    EXPECT_EQ(poster_->heldCount(), 0u);
    for (std::uint8_t code : {38, 50, 66, 77}) EXPECT_FALSE(keyIsDown(code)) << int{code};
    const std::uint16_t mask = pointerMask();
    EXPECT_EQ(mask & (XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2 | XCB_BUTTON_MASK_1 | XCB_MOD_MASK_SHIFT), 0) << mask;
    EXPECT_TRUE(serverRepeats(38));
    ASSERT_TRUE(recorder_->waitForCount(XCB_BUTTON_RELEASE, 2));
    EXPECT_EQ(details(XCB_BUTTON_RELEASE), (std::vector<std::uint8_t>{1, 8}));

    // Destroying the poster does the same.
    post({key(Type::keyDown, 39)});
    recorder_->clear();
    poster_.reset();
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_RELEASE, 1));
    EXPECT_EQ(details(XCB_KEY_RELEASE), std::vector<std::uint8_t>{39});
}

} // namespace
} // namespace quillmere
