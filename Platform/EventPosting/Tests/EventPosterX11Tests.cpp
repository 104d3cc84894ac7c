#include "Platform/EventPosting/EventPosterX11.h"
#include "Platform/EventPosting/KeyTable.h"
#include "Platform/EventPosting/Tests/InputRecorderX11.h"
#include "Platform/EventPosting/Tests/KeyRepeatRateX11.h"
#include "Platform/X11/XcbOpening.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

namespace quillmere {
namespace {

using testing::InputRecorderX11;
using Event = PostedEvent;
using Type = PostedEvent::Type;

constexpr int left = 100;
constexpr int top = 50;

Event key(Type type, std::uint8_t keyCode, std::uint64_t flags = 0, bool autorepeat = false) {
    Event event = Event::key(type, keyCode, flags);
    event.autorepeat = autorepeat;
    return event;
}
Event text(std::u16string chunk) {
    Event event = Event::key(Type::keyDown, 0, 0);
    event.text = std::move(chunk);
    return event;
}
Event scroll(Event::ScrollUnit unit, int dy, int dx, Event::ScrollPhase phase) {
    Event event = Event::mouse(Type::scrollWheel, {left + 5.0, top + 6.0}, 0, 0);
    event.unit = unit;
    event.wheel1 = dy;
    event.wheel2 = dx;
    event.phase = phase;
    return event;
}

// One server for the suite; a fresh window and poster for each test.
class EventPosterX11Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new testing::XvfbServer(); }
    static void TearDownTestSuite() { delete server_; }

    void SetUp() override {
        ASSERT_TRUE(server_->ready()) << server_->failure();
        recorder_.emplace(server_->displayName(), left, top, 400, 300);
        ASSERT_TRUE(recorder_->ok());
        // The poster's own delays: the recorder reads key codes as late as a busy client would.
        auto opened = EventPosterX11::open(XcbConnection::opener(server_->displayName()));
        ASSERT_TRUE(opened) << opened.error().description();
        poster_ = *opened;
        post({Event::mouse(Type::mouseMoved, {left + 10.0, top + 10.0}, 0, 0)});
        ASSERT_TRUE(recorder_->waitForCount(XCB_MOTION_NOTIFY, 1));
        recorder_->clear();
    }
    void TearDown() override { xcb_disconnect(x_); }

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
    template <class Reply>
    bool bit(Reply* reply, const std::uint8_t* bits, std::uint8_t keyCode) {
        const bool set = reply && (bits[keyCode / 8] >> (keyCode % 8)) & 1;
        std::free(reply);
        return set;
    }
    bool keyIsDown(std::uint8_t code) {
        auto* reply = xcb_query_keymap_reply(x_, xcb_query_keymap(x_), nullptr);
        return bit(reply, reply ? reply->keys : nullptr, code);
    }
    bool serverRepeats(std::uint8_t code) {
        auto* reply = xcb_get_keyboard_control_reply(x_, xcb_get_keyboard_control(x_), nullptr);
        return bit(reply, reply ? reply->auto_repeats : nullptr, code);
    }
    std::uint16_t pointerMask() {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x_)).data->root;
        auto* reply = xcb_query_pointer_reply(x_, xcb_query_pointer(x_, root), nullptr);
        const std::uint16_t mask = reply ? reply->mask : 0xffff;
        std::free(reply);
        return mask;
    }
    std::uint32_t keysymOf(std::uint8_t keyCode) {
        auto* reply = xcb_get_keyboard_mapping_reply(x_, xcb_get_keyboard_mapping(x_, keyCode, 1), nullptr);
        const std::uint32_t keysym = reply ? xcb_get_keyboard_mapping_keysyms(reply)[0] : 0xffffffff;
        std::free(reply);
        return keysym;
    }

    static testing::XvfbServer* server_;
    // The test's own look at the server.
    xcb_connection_t* x_ = XcbOpening::connect(server_->displayName().c_str(), nullptr);
    std::optional<InputRecorderX11> recorder_;
    std::shared_ptr<EventPosterX11> poster_;
};

testing::XvfbServer* EventPosterX11Test::server_ = nullptr;

// What each usage types under the server's evdev rules and US layout: an
// error in the table shows as another key's symbol.
TEST_F(EventPosterX11Test, EveryUsageOfTheKeyTableTypesItsKey) {
    std::map<std::uint16_t, std::uint32_t> expected = {
        {40, 0xff0d}, {41, 0xff1b}, {42, 0xff08}, {43, 0xff09}, {44, ' '}, {45, '-'}, {46, '='}, {47, '['},
        {48, ']'}, {49, '\\'}, {50, '\\'}, {51, ';'}, {52, '\''}, {53, '`'}, {54, ','}, {55, '.'}, {56, '/'},
        {57, 0xffe5}, {73, 0xff63}, {74, 0xff50}, {75, 0xff55}, {76, 0xffff}, {77, 0xff57}, {78, 0xff56},
        {79, 0xff53}, {80, 0xff51}, {81, 0xff54}, {82, 0xff52}, {83, 0xff7f}, {84, 0xffaf}, {85, 0xffaa},
        {86, 0xffad}, {87, 0xffab}, {88, 0xff8d}, {89, 0xff9c}, {90, 0xff99}, {91, 0xff9b}, {92, 0xff96},
        {93, 0xff9d}, {94, 0xff98}, {95, 0xff95}, {96, 0xff97}, {97, 0xff9a}, {98, 0xff9e}, {99, 0xff9f},
        {100, '<'}, {103, 0xffbd},
        // The evdev rules give F13 to F20 launcher and microphone symbols, F19 none.
        {104, 0x1008ff81}, {105, 0x1008ff45}, {106, 0x1008ff46}, {107, 0x1008ff47}, {108, 0x1008ff48},
        {109, 0x1008ff49}, {110, 0}, {111, 0x1008ffb2}, {127, 0x1008ff12}, {128, 0x1008ff13}, {129, 0x1008ff11},
        // International1 and 3 have no symbol in the US layout.
        {135, 0}, {137, 0}, {144, 0xff31}, {145, 0xff34}, {224, 0xffe3}, {225, 0xffe1}, {226, 0xffe9},
        {227, 0xffeb}, {228, 0xffe4}, {229, 0xffe2}, {230, 0xffea}, {231, 0xffec}};
    for (std::uint16_t usage = 4; usage <= 29; ++usage) expected[usage] = 'a' + (usage - 4);
    for (std::uint16_t usage = 30; usage <= 39; ++usage) expected[usage] = usage == 39 ? '0' : '1' + (usage - 30);
    for (std::uint16_t usage = 58; usage <= 69; ++usage) expected[usage] = 0xffbe + (usage - 58);
    ASSERT_EQ(expected.size(), KeyTable::entries().size());

    for (const KeyTable::Entry& entry : KeyTable::entries())
        post({key(Type::keyDown, entry.keyCode), key(Type::keyUp, entry.keyCode)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_RELEASE, expected.size()));
    const auto presses = recorder_->ofType(XCB_KEY_PRESS);
    ASSERT_EQ(presses.size(), expected.size());
    for (std::size_t i = 0; i < presses.size(); ++i) {
        const std::uint16_t usage = KeyTable::entries()[i].usage;
        EXPECT_EQ(presses[i].keysym, expected.at(usage)) << "usage " << usage;
    }
    EXPECT_FALSE(KeyTable::find(70));
    EXPECT_FALSE(KeyTable::find(232));
}

// The server's own repeat is off while the poster holds a key; the poster
// repeats as a release and a press. Modifiers and locks do not repeat.
TEST_F(EventPosterX11Test, AHeldKeyRepeatsOnlyWhenThePosterSays) {
    ASSERT_TRUE(testing::setKeyRepeatRate(x_, 20, 10));
    EXPECT_EQ(poster_->keyRepeatRate(), (EventPosting::KeyRepeatRate{20, 10}));
    post({key(Type::keyDown, 38), key(Type::flagsChanged, 50, PostedEvent::shiftFlag)});
    EXPECT_FALSE(serverRepeats(38));
    // Held past the server's repeat delay; the events posted next mark the
    // end of what it could have repeated.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    post({key(Type::keyDown, 38, 0, true), key(Type::keyDown, 50, 0, true), key(Type::keyDown, 66),
          key(Type::keyDown, 66, 0, true), key(Type::keyUp, 66), key(Type::keyUp, 38), key(Type::flagsChanged, 50)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_RELEASE, 4));
    EXPECT_EQ(details(XCB_KEY_PRESS), (std::vector<std::uint8_t>{38, 50, 38, 66}));
    EXPECT_EQ(details(XCB_KEY_RELEASE), (std::vector<std::uint8_t>{38, 66, 38, 50}));
    EXPECT_TRUE(serverRepeats(38));
    EXPECT_FALSE(serverRepeats(66));
    testing::setKeyRepeatRate(x_, 660, 40);
}

TEST_F(EventPosterX11Test, WheelsClickPerLineOrPerHundredTwentyPixelsWhereTheEventSays) {
    using Unit = Event::ScrollUnit;
    using Phase = Event::ScrollPhase;
    const std::pair<Event, std::vector<std::uint8_t>> rows[] = {
        {scroll(Unit::line, 2, 0, Phase::none), {4, 4}},
        {scroll(Unit::line, -1, 1, Phase::none), {5, 6}},
        {scroll(Unit::line, 30000, -1, Phase::none), [] {
             std::vector<std::uint8_t> capped(64, 4);
             capped.push_back(7);
             return capped;
         }()},
        {scroll(Unit::pixel, 100, 0, Phase::began), {}},
        {scroll(Unit::pixel, 30, 0, Phase::changed), {4}},     // 130: one click, 10 left over
        {scroll(Unit::pixel, -119, 0, Phase::changed), {}},    // turned: from 0 again
        {scroll(Unit::pixel, -1, -240, Phase::changed), {5, 7, 7}},
        {scroll(Unit::pixel, 0, 0, Phase::ended), {}},
        {scroll(Unit::pixel, 100, 0, Phase::began), {}},       // a new gesture starts from 0
        {scroll(Unit::pixel, 19, 0, Phase::changed), {}},
    };
    for (const auto& [event, clicks] : rows) {
        recorder_->clear();
        post({event});
        ASSERT_TRUE(recorder_->waitForCount(XCB_BUTTON_RELEASE, clicks.size()));
        EXPECT_EQ(details(XCB_BUTTON_PRESS), clicks);
    }
    // A place that is no number moves nothing (a button goes down where the
    // pointer is); any other brings the pointer there first.
    recorder_->clear();
    post({Event::mouse(Type::mouseMoved, {std::nan(""), 3}, 0, 0), Event::mouse(Type::mouseMoved, {INFINITY, 3}, 0, 0),
          Event::mouse(Type::otherMouseDown, {std::nan(""), 3}, 4, 0),
          Event::mouse(Type::leftMouseDragged, {left + 7.9, top + 8.2}, 0, 0),
          Event::mouse(Type::rightMouseDown, {left + 20.0, top + 30.0}, 1, 0)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_BUTTON_PRESS, 2));
    const auto moves = recorder_->ofType(XCB_MOTION_NOTIFY);
    const auto presses = recorder_->ofType(XCB_BUTTON_PRESS);
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(std::pair(int{moves[0].x}, int{moves[0].y}), std::pair(7, 8));
    EXPECT_EQ(details(XCB_BUTTON_PRESS), (std::vector<std::uint8_t>{9, 3}));
    EXPECT_EQ(std::pair(int{presses[0].x}, int{presses[0].y}), std::pair(5, 6));
    EXPECT_EQ(std::pair(int{presses[1].x}, int{presses[1].y}), std::pair(20, 30));
}

// Characters on the map are typed with their keys (and Shift, unless the
// client holds it); others borrow spare codes, more than there are once the
// first have settled, and the codes carry nothing again afterwards.
TEST_F(EventPosterX11Test, TextUsesTheKeysOnTheMapAndBorrowsCodesForTheRest) {
    post({text(u"h\u00e9 \U0001F600A"), key(Type::flagsChanged, 62, PostedEvent::shiftFlag), text(u"a!"),
          key(Type::flagsChanged, 62)});
    std::vector<std::uint32_t> typed = {'h', 0xe9, ' ', 0x101f600, 0xffe1, 'A', 0xffe2, 'a', '!'};
    std::u16string cjk;
    for (char16_t c = 0x4e00; c < 0x4e00 + 24; ++c) {
        cjk.push_back(c);
        typed.push_back(0x01000000u | c);
    }
    post({text(cjk)});
    ASSERT_TRUE(recorder_->waitForCount(XCB_KEY_PRESS, typed.size()));
    EXPECT_EQ(recorder_->pressedKeysyms(), typed);

    std::set<std::uint8_t> borrowed;
    for (const auto& event : recorder_->ofType(XCB_KEY_PRESS))
        if (!KeyTable::contains(event.detail)) borrowed.insert(event.detail);
    EXPECT_GE(borrowed.size(), 10u);
    EXPECT_TRUE(testing::eventually([&] {
        return std::all_of(borrowed.begin(), borrowed.end(), [&](std::uint8_t code) { return keysymOf(code) == 0; });
    }));
}

TEST_F(EventPosterX11Test, ReleaseAllLetsGoOfKeysButtonsAndLocks) {
    post({key(Type::keyDown, 38), key(Type::flagsChanged, 50, PostedEvent::shiftFlag), key(Type::keyDown, 66),
          key(Type::keyUp, 66), key(Type::keyDown, 77), Event::mouse(Type::leftMouseDown, {left + 3.0, top + 3.0}, 0, 0),
          Event::mouse(Type::otherMouseDown, {left + 3.0, top + 3.0}, 3, 0)});
    EXPECT_EQ(poster_->heldCount(), 5u);
    EXPECT_NE(pointerMask() & XCB_MOD_MASK_LOCK, 0);
    poster_->releaseAll();
    EXPECT_EQ(poster_->heldCount(), 0u);
    for (std::uint8_t code : {38, 50, 66, 77}) EXPECT_FALSE(keyIsDown(code)) << int{code};
    EXPECT_EQ(pointerMask() & (XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2 | XCB_BUTTON_MASK_1 | XCB_MOD_MASK_SHIFT), 0);
    EXPECT_TRUE(serverRepeats(38));
    ASSERT_TRUE(recorder_->waitForCount(XCB_BUTTON_RELEASE, 2));
    EXPECT_EQ(details(XCB_BUTTON_RELEASE), (std::vector<std::uint8_t>{1, 8}));

    // Destroying the poster does the same. Releases from above may still be
    // arriving, so look for this key's own.
    post({key(Type::keyDown, 39)});
    poster_.reset();
    EXPECT_TRUE(testing::eventually([&] {
        const auto releases = details(XCB_KEY_RELEASE);
        return std::count(releases.begin(), releases.end(), 39) == 1;
    }));
}

} // namespace
} // namespace quillmere
