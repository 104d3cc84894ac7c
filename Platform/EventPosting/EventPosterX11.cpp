#include "Platform/EventPosting/EventPosterX11.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/EventPosting/KeyTable.h"
#include "Platform/EventPosting/KeyboardMapX11.h"
#include "Platform/X11/XcbConnection.h"

#include <xcb/xcb.h>
// The XKB header names a field 'explicit'.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>

#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <utility>

namespace quillmere {

namespace {

constexpr std::uint8_t capsLockKeyCode = 66;
constexpr std::uint8_t numLockKeyCode = 77;

using Type = PostedEvent::Type;

bool isPress(Type type) {
    return type == Type::leftMouseDown || type == Type::rightMouseDown || type == Type::otherMouseDown;
}

std::optional<std::uint8_t> xButton(const PostedEvent& event) {
    switch (event.type) {
    case Type::leftMouseDown:
    case Type::leftMouseUp: return 1;
    case Type::rightMouseDown:
    case Type::rightMouseUp: return 3;
    case Type::otherMouseDown:
    case Type::otherMouseUp:
        switch (event.buttonNumber) {
        case 2: return 2;
        case 3: return 8;
        case 4: return 9;
        default: return std::nullopt;
        }
    default: return std::nullopt;
    }
}

// Root pixels of a location; absent when it is no number at all.
std::optional<std::pair<std::int16_t, std::int16_t>> rootPoint(PostedEvent::Location location) {
    if (!std::isfinite(location.x) || !std::isfinite(location.y)) return std::nullopt;
    const auto clamp = [](double value) {
        return static_cast<std::int16_t>(std::clamp(std::floor(value), -32768.0, 32767.0));
    };
    return std::pair{clamp(location.x), clamp(location.y)};
}

std::u32string scalars(std::u16string_view text) {
    std::u32string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xd800 && unit <= 0xdbff && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] <= 0xdfff) {
            result.push_back(0x10000 + ((char32_t{unit} - 0xd800) << 10) + (char32_t{text[i + 1]} - 0xdc00));
            ++i;
        } else if (unit < 0xd800 || unit > 0xdfff) {
            result.push_back(unit);
        }
    }
    return result;
}

} // namespace

struct EventPosterX11::State : std::enable_shared_from_this<State> {
    State(std::unique_ptr<XcbConnection> owned, xcb_window_t root, Options options, bool xkb)
        : owner(std::move(owned)), connection(owner->get()), root(root), options(std::move(options)), xkb(xkb),
          keymap(connection, this->options.keymapSettleNs) {}

    // Everything below is guarded by mutex.
    void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0) {
        xcb_test_fake_input(connection, type, detail, XCB_CURRENT_TIME, root, x, y, 0);
    }

    bool repeats(std::uint8_t keyCode) const { return (autoRepeats[keyCode / 8] >> (keyCode % 8)) & 1; }

    void readAutoRepeats() {
        xcb_get_keyboard_control_reply_t* reply =
            xcb_get_keyboard_control_reply(connection, xcb_get_keyboard_control(connection), nullptr);
        if (!reply) return;
        for (std::size_t i = 0; i < autoRepeats.size(); ++i) autoRepeats[i] = reply->auto_repeats[i];
        // Keys held here read as not repeating because of us.
        for (std::uint8_t code : repeatTurnedOff) autoRepeats[code / 8] |= static_cast<std::uint8_t>(1u << (code % 8));
        std::free(reply);
    }

    void setRepeat(std::uint8_t keyCode, bool on) {
        const std::uint32_t values[] = {keyCode, on ? std::uint32_t{XCB_AUTO_REPEAT_MODE_ON}
                                                    : std::uint32_t{XCB_AUTO_REPEAT_MODE_OFF}};
        xcb_change_keyboard_control(connection, XCB_KB_KEY | XCB_KB_AUTO_REPEAT_MODE, values);
    }

    void pressKey(std::uint8_t keyCode, bool autorepeat) {
        if (keys.contains(keyCode)) {
            // X ignores a press of a key that is down: a repeat is a release
            // and a press, as the server's own repeats are.
            if (!repeats(keyCode)) return;
            fake(XCB_KEY_RELEASE, keyCode);
            fake(XCB_KEY_PRESS, keyCode);
            return;
        }
        if (autorepeat) return;
        if (repeats(keyCode) && repeatTurnedOff.insert(keyCode).second) setRepeat(keyCode, false);
        if (keyCode == capsLockKeyCode) ++capsPresses;
        if (keyCode == numLockKeyCode) ++numPresses;
        keys.insert(keyCode);
        fake(XCB_KEY_PRESS, keyCode);
    }

    void releaseKey(std::uint8_t keyCode) {
        if (keys.erase(keyCode) == 0) return;
        fake(XCB_KEY_RELEASE, keyCode);
        if (repeatTurnedOff.erase(keyCode) != 0) setRepeat(keyCode, true);
    }

    void movePointer(PostedEvent::Location location) {
        if (const auto point = rootPoint(location)) fake(XCB_MOTION_NOTIFY, 0, point->first, point->second);
    }

    // Buttons and wheels act where the pointer is: bring it to the event
    // first, unless it is there already (a move would be an extra motion).
    void pointerTo(PostedEvent::Location location) {
        const auto point = rootPoint(location);
        if (!point) return;
        xcb_query_pointer_reply_t* reply =
            xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr);
        const bool there = reply && reply->same_screen && reply->root_x == point->first && reply->root_y == point->second;
        std::free(reply);
        if (!there) fake(XCB_MOTION_NOTIFY, 0, point->first, point->second);
    }

    void click(std::uint8_t button, int count) {
        for (int i = 0; i < count; ++i) {
            fake(XCB_BUTTON_PRESS, button);
            fake(XCB_BUTTON_RELEASE, button);
        }
    }

    // Clicks for a delta: positive is up or left.
    void wheel(std::int64_t clicks, std::uint8_t positive, std::uint8_t negative) {
        const int count = static_cast<int>(std::min<std::int64_t>(std::abs(clicks), maxClicksPerEvent));
        click(clicks > 0 ? positive : negative, count);
    }

    static std::int64_t pixelClicks(double& remainder, std::int32_t delta) {
        if ((remainder > 0 && delta < 0) || (remainder < 0 && delta > 0)) remainder = 0;
        remainder += delta;
        const auto clicks = static_cast<std::int64_t>(remainder / pixelsPerClick);
        remainder -= static_cast<double>(clicks) * pixelsPerClick;
        return clicks;
    }

    void scroll(const PostedEvent& event) {
        if (event.unit == PostedEvent::ScrollUnit::line) {
            if (event.wheel1 == 0 && event.wheel2 == 0) return;
            pointerTo(event.location);
            wheel(event.wheel1, 4, 5);
            wheel(event.wheel2, 6, 7);
            return;
        }
        if (event.phase == PostedEvent::ScrollPhase::began || event.phase == PostedEvent::ScrollPhase::ended) {
            pixelY = 0;
            pixelX = 0;
        }
        const std::int64_t vertical = pixelClicks(pixelY, event.wheel1);
        const std::int64_t horizontal = pixelClicks(pixelX, event.wheel2);
        if (vertical == 0 && horizontal == 0) return;
        pointerTo(event.location);
        wheel(vertical, 4, 5);
        wheel(horizontal, 6, 7);
    }

    // Types what it can now; the rest, from the first character whose code
    // is still settling, is left in unfinished and resumed on the queue.
    void type(std::u32string_view text) {
        keymap.refresh();
        bool shiftHeld = false;
        for (std::uint8_t code : keys) shiftHeld = shiftHeld || KeyTable::modifierFlag(code) == PostedEvent::shiftFlag;
        const auto held = [this](std::uint8_t code) { return keys.contains(code); };
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto keysym = KeyboardMapX11::keysymFor(text[i]);
            if (!keysym) continue;
            const auto outcome = keymap.stroke(*keysym, shiftHeld, held, Clock::nowNs());
            if (const auto* wait = std::get_if<KeyboardMapX11::Wait>(&outcome)) {
                unfinished.assign(text.substr(i));
                resumeAt(wait->untilNs);
                break;
            }
            const auto* stroke = std::get_if<KeyboardMapX11::Stroke>(&outcome);
            if (!stroke) continue;
            const auto shift = stroke->shift ? keymap.shiftKeyCode() : std::nullopt;
            if (shift) fake(XCB_KEY_PRESS, *shift);
            fake(XCB_KEY_PRESS, stroke->keyCode);
            fake(XCB_KEY_RELEASE, stroke->keyCode);
            if (shift) fake(XCB_KEY_RELEASE, *shift);
        }
        scheduleRestore();
    }

    bool deferring() const { return !unfinished.empty() || !backlog.empty(); }

    // Runs now, or after what is deferred, so that events keep their order.
    void perform(std::function<void()> work) {
        if (deferring()) {
            backlog.push_back(std::move(work));
            return;
        }
        work();
        finish();
    }

    void resumeAt(std::uint64_t deadlineNs) {
        const std::uint64_t now = Clock::nowNs();
        queue.asyncAfter(deadlineNs > now ? deadlineNs - now : 0, [weak = weak_from_this()] {
            const auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->mutex);
            self->resume();
        });
    }

    void resume() {
        if (!unfinished.empty()) type(std::u32string(std::exchange(unfinished, {})));
        while (unfinished.empty() && !backlog.empty()) {
            const auto work = std::move(backlog.front());
            backlog.pop_front();
            work();
        }
        finish();
        if (!deferring()) caughtUp.notify_all();
    }

    void scheduleRestore() {
        if (restoreScheduled || keymap.borrowedCount() == 0) return;
        restoreScheduled = true;
        queue.asyncAfter(options.keymapRestoreNs, [weak = weak_from_this()] {
            const auto self = weak.lock();
            if (!self) return;
            std::lock_guard lock(self->mutex);
            self->restoreScheduled = false;
            self->keymap.restoreIdle(Clock::nowNs(), self->options.keymapRestoreNs);
            xcb_flush(self->connection);
            self->scheduleRestore();
        });
    }

    void post(const PostedEvent& event) {
        switch (event.type) {
        case Type::keyDown:
            if (!event.text.empty())
                type(scalars(event.text));
            else
                pressKey(event.keyCode, event.autorepeat);
            break;
        case Type::keyUp:
            if (event.text.empty()) releaseKey(event.keyCode);
            break;
        case Type::flagsChanged:
            if (const std::uint64_t flag = KeyTable::modifierFlag(event.keyCode); flag != 0) {
                if (event.flags & flag)
                    pressKey(event.keyCode, false);
                else
                    releaseKey(event.keyCode);
            }
            break;
        case Type::mouseMoved:
        case Type::leftMouseDragged:
        case Type::rightMouseDragged:
        case Type::otherMouseDragged: movePointer(event.location); break;
        case Type::scrollWheel: scroll(event); break;
        default:
            if (const auto button = xButton(event)) {
                const bool down = isPress(event.type);
                if (down == buttons.contains(*button)) break;
                pointerTo(event.location);
                fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, *button);
                if (down)
                    buttons.insert(*button);
                else
                    buttons.erase(*button);
            }
            break;
        }
    }

    void releaseAll() {
        for (std::uint8_t button : buttons) fake(XCB_BUTTON_RELEASE, button);
        buttons.clear();
        while (!keys.empty()) releaseKey(*keys.begin());
        // Each press of a lock key toggles it: an odd count left it toggled.
        for (const auto& [keyCode, presses] : {std::pair{capsLockKeyCode, capsPresses}, std::pair{numLockKeyCode, numPresses}}) {
            if (presses % 2 == 0) continue;
            fake(XCB_KEY_PRESS, keyCode);
            fake(XCB_KEY_RELEASE, keyCode);
        }
        capsPresses = 0;
        numPresses = 0;
        pixelX = 0;
        pixelY = 0;
        keymap.restoreAll();
        xcb_flush(connection);
        // Handled before anything else happens: a connection closed right
        // after its last events can lose them.
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

    // Sends what is queued and drops what the server sent us: mapping
    // notices and errors of requests nobody waits for.
    void finish() {
        xcb_flush(connection);
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) std::free(event);
    }

    std::mutex mutex;
    // Closed last, after the keymap restorer is gone.
    const std::unique_ptr<XcbConnection> owner;
    xcb_connection_t* const connection;
    const xcb_window_t root;
    const Options options;
    const bool xkb;
    std::array<std::uint8_t, 32> autoRepeats{};
    std::set<std::uint8_t> keys;
    std::set<std::uint8_t> buttons;
    std::set<std::uint8_t> repeatTurnedOff;
    int capsPresses = 0;
    int numPresses = 0;
    double pixelX = 0;
    double pixelY = 0;
    KeyboardMapX11 keymap;
    bool restoreScheduled = false;
    // Text left to type once a borrowed code has settled, and what was
    // posted after it.
    std::u32string unfinished;
    std::deque<std::function<void()>> backlog;
    std::condition_variable caughtUp;
    SerialQueue queue{"com.ornbeck.quillmeremac.input.keymap"};
};

std::expected<std::shared_ptr<EventPosterX11>, EventPostingError> EventPosterX11::open(
    const XcbConnection::Opener& open) {
    return EventPosterX11::open(open, Options());
}

std::expected<std::shared_ptr<EventPosterX11>, EventPostingError> EventPosterX11::open(
    const XcbConnection::Opener& open, Options options) {
    auto opened = open();
    if (!opened)
        return std::unexpected(EventPostingError{EventPostingError::Code::noDisplay, opened.error().displayName});
    std::unique_ptr<XcbConnection> owner = std::move(*opened);
    xcb_connection_t* connection = owner->get();
    xcb_test_get_version_reply_t* version =
        xcb_test_get_version_reply(connection, xcb_test_get_version(connection, 2, 2), nullptr);
    if (!version) return std::unexpected(EventPostingError{EventPostingError::Code::noInputExtension, "XTEST"});
    std::free(version);
    xcb_xkb_use_extension_reply_t* xkb = xcb_xkb_use_extension_reply(
        connection, xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr);
    const bool hasXkb = xkb && xkb->supported;
    std::free(xkb);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    auto state = std::make_shared<State>(std::move(owner), root, std::move(options), hasXkb);
    state->readAutoRepeats();
    return std::make_shared<EventPosterX11>(std::move(state));
}

EventPosterX11::EventPosterX11(std::shared_ptr<State> state) : state_(std::move(state)) {}

EventPosterX11::~EventPosterX11() {
    std::lock_guard lock(state_->mutex);
    // Nobody is left to type for.
    state_->unfinished.clear();
    state_->backlog.clear();
    state_->releaseAll();
}

void EventPosterX11::post(const Event& event) {
    std::lock_guard lock(state_->mutex);
    state_->perform([state = state_.get(), event] { state->post(event); });
}

std::optional<EventPosting::KeyRepeatRate> EventPosterX11::keyRepeatRate() {
    std::lock_guard lock(state_->mutex);
    state_->readAutoRepeats();
    if (!state_->xkb) return std::nullopt;
    xcb_xkb_get_controls_reply_t* reply = xcb_xkb_get_controls_reply(
        state_->connection, xcb_xkb_get_controls(state_->connection, XCB_XKB_ID_USE_CORE_KBD), nullptr);
    if (!reply) return std::nullopt;
    const KeyRepeatRate rate{static_cast<double>(reply->repeatDelay), static_cast<double>(reply->repeatInterval)};
    std::free(reply);
    return rate;
}

void EventPosterX11::releaseAll() {
    std::lock_guard lock(state_->mutex);
    state_->perform([state = state_.get()] { state->releaseAll(); });
}

void EventPosterX11::sync() {
    std::unique_lock lock(state_->mutex);
    state_->caughtUp.wait(lock, [&] { return !state_->deferring(); });
    xcb_connection_t* connection = state_->connection;
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

std::size_t EventPosterX11::heldCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->keys.size() + state_->buttons.size();
}

} // namespace quillmere
