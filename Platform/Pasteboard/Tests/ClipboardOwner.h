#pragma once

// A program that owns the CLIPBOARD as xclip does, on a thread of its own,
// told by the test when to answer: while held, requests for UTF8_STRING
// wait, as a stopped program's would, and are answered in order once
// released, with the text it had when asked. Every other form is refused.
// A text longer than a chunk goes in INCR chunks, each once the last was
// taken; a transfer may hold after so many. It counts the X errors that
// reach it: xclip would die of the first.

#include "TestSupport/X11TestClient.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

class ClipboardOwner {
public:
    ClipboardOwner(const std::string& display, std::string text, std::size_t chunk,
                   std::size_t chunksBeforeHold = SIZE_MAX)
        : x_(display), c_(x_.connection()), window_(x_.createWindow(X11TestClient::NewWindow().unmapped())),
          clipboard_(x_.atom("CLIPBOARD")), utf8_(x_.atom("UTF8_STRING")), incr_(x_.atom("INCR")),
          text_(std::move(text)), chunk_(chunk), holdAfter_(chunksBeforeHold) {
        xcb_set_selection_owner(c_, window_, clipboard_, XCB_CURRENT_TIME);
        auto* owner = xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr);
        owns_ = owner && owner->owner == window_;
        std::free(owner);
        thread_ = std::thread([this] { run(); });
    }
    ~ClipboardOwner() {
        command([this] { stopping_ = true; });
        thread_.join();
    }

    bool owns() const { return owns_; }
    void hold() { command([this] { held_ = true; }); }
    void release() { command([this] { held_ = false; }); }
    void setText(std::string text) { command([&] { text_ = std::move(text); }); }
    std::size_t waiting() { return guarded(requests_).size(); }
    int errors() { return guarded(errors_); }
    std::size_t transfersEnded() { return guarded(ended_); }

private:
    struct Transfer {
        xcb_selection_request_event_t request;
        std::string text;
        std::size_t sent = 0;
        // Sent as INCR, and its last chunk taken: the next is due.
        bool due = false;
    };

    template <class T>
    T guarded(const T& value) {
        const std::lock_guard lock(mutex_);
        return value;
    }
    // Changes what it does, and wakes its thread to do it.
    template <class F>
    void command(F f) {
        {
            const std::lock_guard lock(mutex_);
            f();
        }
        xcb_client_message_event_t wake{};
        wake.response_type = XCB_CLIENT_MESSAGE;
        wake.format = 32;
        wake.window = window_;
        xcb_send_event(c_, 0, window_, 0, reinterpret_cast<const char*>(&wake));
        xcb_flush(c_);
    }

    void run() {
        while (xcb_generic_event_t* event = xcb_wait_for_event(c_)) {
            const std::lock_guard lock(mutex_);
            const auto type = event->response_type & 0x7f;
            if (type == 0) ++errors_;
            if (type == XCB_SELECTION_REQUEST) {
                auto request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
                if (request.property == XCB_NONE) request.property = request.target;
                requests_.push_back({request, text_});
            }
            if (const auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
                type == XCB_PROPERTY_NOTIFY && change->state == XCB_PROPERTY_DELETE) {
                for (Transfer& sending : sending_) {
                    const auto& to = sending.request;
                    sending.due |= change->window == to.requestor && change->atom == to.property;
                }
            }
            std::free(event);
            if (stopping_) return;
            serve();
            xcb_flush(c_);
        }
    }

    // At once, so that an answer's error is counted before the next answer goes.
    void check(xcb_void_cookie_t cookie) {
        if (xcb_generic_error_t* error = xcb_request_check(c_, cookie)) {
            ++errors_;
            std::free(error);
        }
    }

    void put(const xcb_selection_request_event_t& to, xcb_atom_t type, std::uint8_t format, std::uint32_t length,
             const void* data) {
        check(xcb_change_property_checked(c_, XCB_PROP_MODE_REPLACE, to.requestor, to.property, type, format, length,
                                          data));
    }

    void serve() {
        std::erase_if(requests_, [this](Transfer& answer) {
            const xcb_selection_request_event_t& request = answer.request;
            if (request.target == utf8_ && held_) return false;
            xcb_selection_notify_event_t notify{XCB_SELECTION_NOTIFY, 0, 0, request.time, request.requestor,
                                                request.selection, request.target, request.property};
            if (request.target != utf8_) {
                notify.property = XCB_NONE;
            } else if (answer.text.size() > chunk_) {
                const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
                check(xcb_change_window_attributes_checked(c_, request.requestor, XCB_CW_EVENT_MASK, &events));
                const auto size = static_cast<std::uint32_t>(answer.text.size());
                put(request, incr_, 32, 1, &size);
                sending_.push_back(answer);
            } else {
                put(request, utf8_, 8, static_cast<std::uint32_t>(answer.text.size()), answer.text.data());
            }
            char event[32]{}; // events are sent as 32 bytes
            std::memcpy(event, &notify, sizeof notify);
            check(xcb_send_event_checked(c_, 0, request.requestor, 0, event));
            return true;
        });
        std::erase_if(sending_, [this](Transfer& sending) {
            if (!sending.due || held_) return false;
            sending.due = false;
            const std::size_t length = std::min(chunk_, sending.text.size() - sending.sent);
            put(sending.request, utf8_, 8, static_cast<std::uint32_t>(length), sending.text.data() + sending.sent);
            sending.sent += length;
            if (++chunks_ == holdAfter_) held_ = true;
            ended_ += length == 0 ? 1 : 0;
            return length == 0;
        });
    }

    X11TestClient x_;
    xcb_connection_t* const c_;
    const xcb_window_t window_;
    const xcb_atom_t clipboard_, utf8_, incr_;
    bool owns_ = false;
    std::mutex mutex_;
    std::string text_;
    const std::size_t chunk_;
    const std::size_t holdAfter_;
    bool held_ = false;
    bool stopping_ = false;
    std::vector<Transfer> requests_;
    std::vector<Transfer> sending_;
    std::size_t chunks_ = 0;
    std::size_t ended_ = 0;
    int errors_ = 0;
    std::thread thread_;
};

} // namespace quillmere::testing
