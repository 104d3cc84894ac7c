#pragma once

// Another X client's window that writes down the input it receives, as an
// application would see it: key events with the keysym its own copy of the
// keyboard map gives (re-read on every mapping notice, before the keys that
// follow it are handled), buttons and motion with window coordinates.

#include <xcb/xcb.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

class InputRecorderX11 {
public:
    struct Event {
        std::uint8_t type = 0; // XCB_KEY_PRESS ... XCB_MOTION_NOTIFY
        std::uint8_t detail = 0;
        std::uint32_t keysym = 0;
        std::uint16_t state = 0;
        std::int16_t x = 0;
        std::int16_t y = 0;
        // Server milliseconds.
        std::uint32_t time = 0;
        // When this client read it, on the monotonic clock.
        std::uint64_t receivedNs = 0;
    };

    InputRecorderX11(const std::string& display, int x, int y, int width, int height)
        : c_(xcb_connect(display.c_str(), nullptr)) {
        if (xcb_connection_has_error(c_)) return;
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        const std::uint32_t values[] = {1, XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                               XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                               XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c_, window_);
        readKeymap();
        // Mapped once the server says so; then the keyboard goes to it
        // wherever the pointer is.
        while (xcb_generic_event_t* event = xcb_wait_for_event(c_)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
            std::free(event);
            if (mapped) break;
        }
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        if (pipe(wake_) != 0) return;
        reader_ = std::thread([this] { read(); });
    }

    ~InputRecorderX11() {
        if (reader_.joinable()) {
            const char byte = 0;
            (void)!write(wake_[1], &byte, 1);
            reader_.join();
        }
        if (wake_[0] >= 0) {
            close(wake_[0]);
            close(wake_[1]);
        }
        xcb_disconnect(c_);
    }

    InputRecorderX11(const InputRecorderX11&) = delete;
    InputRecorderX11& operator=(const InputRecorderX11&) = delete;

    bool ok() const { return reader_.joinable(); }
    xcb_window_t window() const { return window_; }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    std::vector<Event> ofType(std::uint8_t type) const {
        std::vector<Event> result;
        for (const Event& event : events())
            if (event.type == type) result.push_back(event);
        return result;
    }
    std::vector<std::uint32_t> pressedKeysyms() const {
        std::vector<std::uint32_t> result;
        for (const Event& event : ofType(XCB_KEY_PRESS)) result.push_back(event.keysym);
        return result;
    }

    // Waits until the recorded events satisfy the condition.
    bool waitUntil(const std::function<bool(const std::vector<Event>&)>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(events_); });
    }
    bool waitForCount(std::uint8_t type, std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return waitUntil(
            [&](const std::vector<Event>& events) {
                return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const Event& e) {
                           return e.type == type;
                       })) >= count;
            },
            limit);
    }

private:
    void readKeymap() {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        minKeyCode_ = setup->min_keycode;
        xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
            c_,
            xcb_get_keyboard_mapping(c_, setup->min_keycode,
                                     static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
            nullptr);
        if (!reply) return;
        perKeyCode_ = reply->keysyms_per_keycode;
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
        keysyms_.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
        std::free(reply);
    }

    std::uint32_t keysym(std::uint8_t keyCode, std::uint16_t state) const {
        const auto at = [&](int level) -> std::uint32_t {
            const std::size_t index = static_cast<std::size_t>(keyCode - minKeyCode_) * perKeyCode_ + level;
            return level < perKeyCode_ && index < keysyms_.size() ? keysyms_[index] : 0;
        };
        const std::uint32_t shifted = at(1);
        return (state & XCB_MOD_MASK_SHIFT) && shifted != 0 ? shifted : at(0);
    }

    void read() {
        pollfd fds[2] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (true) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
                handle(*event);
                std::free(event);
            }
            if (xcb_connection_has_error(c_)) return;
            if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
        }
    }

    void handle(const xcb_generic_event_t& generic) {
        const std::uint8_t type = generic.response_type & 0x7f;
        Event recorded;
        recorded.type = type;
        recorded.receivedNs = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
        switch (type) {
        case XCB_MAPPING_NOTIFY: readKeymap(); return;
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE: {
            const auto& key = reinterpret_cast<const xcb_key_press_event_t&>(generic);
            recorded.detail = key.detail;
            recorded.keysym = keysym(key.detail, key.state);
            recorded.state = key.state;
            recorded.x = key.event_x;
            recorded.y = key.event_y;
            recorded.time = key.time;
            break;
        }
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE: {
            const auto& button = reinterpret_cast<const xcb_button_press_event_t&>(generic);
            recorded.detail = button.detail;
            recorded.state = button.state;
            recorded.x = button.event_x;
            recorded.y = button.event_y;
            recorded.time = button.time;
            break;
        }
        case XCB_MOTION_NOTIFY: {
            const auto& motion = reinterpret_cast<const xcb_motion_notify_event_t&>(generic);
            recorded.state = motion.state;
            recorded.x = motion.event_x;
            recorded.y = motion.event_y;
            recorded.time = motion.time;
            break;
        }
        default: return;
        }
        std::lock_guard lock(mutex_);
        events_.push_back(recorded);
        changed_.notify_all();
    }

    xcb_connection_t* c_;
    xcb_window_t window_ = 0;
    int wake_[2] = {-1, -1};
    std::thread reader_;
    // Reader thread only.
    std::uint8_t minKeyCode_ = 8;
    int perKeyCode_ = 0;
    std::vector<std::uint32_t> keysyms_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
};

} // namespace quillmere::testing
