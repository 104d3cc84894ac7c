#pragma once

// Another X client's window that writes down the input it receives, as an
// application would see it: key events with the keysym of its own copy of
// the keyboard map (read again at every mapping notice, before the keys
// that follow it), buttons and motion in window coordinates.

#include "Platform/X11/XcbOpening.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
        std::uint32_t time = 0; // server milliseconds
        std::uint64_t receivedNs = 0; // monotonic clock, when read here
    };

    InputRecorderX11(const std::string& display, int x, int y, int width, int height)
        : c_(XcbOpening::connect(display.c_str(), nullptr)) {
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
        // Once mapped, the keyboard goes to it wherever the pointer is.
        while (xcb_generic_event_t* event = xcb_wait_for_event(c_)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
            std::free(event);
            if (mapped) break;
        }
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        reader_ = std::thread([this] { read(); });
    }

    ~InputRecorderX11() {
        if (reader_.joinable()) {
            // A message to itself ends the reader.
            xcb_client_message_event_t stop{};
            stop.response_type = XCB_CLIENT_MESSAGE;
            stop.format = 32;
            stop.window = window_;
            xcb_send_event(c_, 0, window_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&stop));
            xcb_flush(c_);
            reader_.join();
        }
        xcb_disconnect(c_);
    }

    InputRecorderX11(const InputRecorderX11&) = delete;
    InputRecorderX11& operator=(const InputRecorderX11&) = delete;

    bool ok() const { return reader_.joinable(); }

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

    bool waitUntil(const std::function<bool(const std::vector<Event>&)>& condition,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(events_); });
    }
    bool waitForCount(std::uint8_t type, std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return waitUntil(
            [&](const std::vector<Event>& events) {
                return static_cast<std::size_t>(std::count_if(
                           events.begin(), events.end(), [&](const Event& e) { return e.type == type; })) >= count;
            },
            limit);
    }

private:
    void readKeymap() {
        const xcb_setup_t* setup = xcb_get_setup(c_);
        minKeyCode_ = setup->min_keycode;
        const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        auto* reply = xcb_get_keyboard_mapping_reply(c_, xcb_get_keyboard_mapping(c_, minKeyCode_, count), nullptr);
        if (!reply) return;
        perKeyCode_ = reply->keysyms_per_keycode;
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply);
        keysyms_.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(reply));
        std::free(reply);
    }

    std::uint32_t keysym(std::uint8_t keyCode, std::uint16_t state) const {
        const auto at = [&](std::size_t level) -> std::uint32_t {
            const std::size_t index = (keyCode - minKeyCode_) * perKeyCode_ + level;
            return level < perKeyCode_ && index < keysyms_.size() ? keysyms_[index] : 0;
        };
        return (state & XCB_MOD_MASK_SHIFT) && at(1) != 0 ? at(1) : at(0);
    }

    void read() {
        while (xcb_generic_event_t* generic = xcb_wait_for_event(c_)) {
            const std::uint8_t type = generic->response_type & 0x7f;
            if (type == XCB_MAPPING_NOTIFY) readKeymap();
            // Key, button and motion events share one layout.
            xcb_key_press_event_t input{};
            std::memcpy(&input, generic, sizeof input);
            std::free(generic);
            if (type == XCB_CLIENT_MESSAGE) return;
            if (type < XCB_KEY_PRESS || type > XCB_MOTION_NOTIFY) continue;
            Event event{type, input.detail, 0, input.state, input.event_x, input.event_y, input.time,
                        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                       std::chrono::steady_clock::now().time_since_epoch())
                                                       .count())};
            if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) event.keysym = keysym(input.detail, input.state);
            if (type == XCB_MOTION_NOTIFY) event.detail = 0;
            std::lock_guard lock(mutex_);
            events_.push_back(event);
            changed_.notify_all();
        }
    }

    xcb_connection_t* c_;
    xcb_window_t window_ = 0;
    std::thread reader_;
    // Reader thread only, once it runs.
    std::uint8_t minKeyCode_ = 8;
    std::size_t perKeyCode_ = 0;
    std::vector<std::uint32_t> keysyms_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
};

} // namespace quillmere::testing
