#pragma once

// A program that owns the CLIPBOARD as xclip does, on a connection and a
// thread of its own, which a test tells when to answer: while it is held,
// requests for UTF8_STRING wait, as a stopped program's would, and are
// answered once released with the text it had when asked. It refuses every
// other form, even TARGETS. A text longer than a chunk goes in INCR chunks,
// and a transfer may hold after so many. It counts the X errors that reach
// it: xclip would die of the first.

#include "Platform/X11/XcbOpening.h"

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
    template <class F>
    auto locked(F f) {
        const std::lock_guard lock(mutex_);
        return f();
    }
    // Changes what it does, and wakes its thread to do it.
    template <class F>
    void command(F f) {
        locked(f);
        xcb_client_message_event_t wake{};
        wake.response_type = XCB_CLIENT_MESSAGE;
        wake.format = 32;
        wake.window = window_;
        xcb_send_event(c_, 0, window_, 0, reinterpret_cast<const char*>(&wake));
        xcb_flush(c_);
    }

public:
    ClipboardOwner(const std::string& display, std::string text, std::size_t chunk = SIZE_MAX,
                   std::size_t chunksBeforeHold = SIZE_MAX)
        : c_(XcbOpening::connect(display.c_str(), nullptr)), text_(std::move(text)), chunk_(chunk),
          holdAfter_(chunksBeforeHold) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        xcb_create_window(c_, 0, window_, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY, 0, 0, nullptr);
        for (auto [atom, name] : {std::pair{&clipboard_, "CLIPBOARD"}, {&utf8_, "UTF8_STRING"}, {&incr_, "INCR"}}) {
            auto* reply = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, std::strlen(name), name), nullptr);
            *atom = reply ? reply->atom : XCB_NONE;
            std::free(reply);
        }
        xcb_set_selection_owner(c_, window_, clipboard_, XCB_CURRENT_TIME);
        auto* owner = xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr);
        owns_ = owner && owner->owner == window_;
        std::free(owner);
        thread_ = std::thread([this] { run(); });
    }
    ~ClipboardOwner() {
        command([this] { stopping_ = true; });
        thread_.join();
        xcb_disconnect(c_);
    }

    bool owns() const { return owns_; }
    void hold() { command([this] { held_ = true; }); }
    void release() { command([this] { held_ = false; }); }
    // Answers the request that waited longest, and holds the rest.
    void answerOne() { command([this] { ++allowed_; }); }
    void setText(std::string text) { command([&] { text_ = std::move(text); }); }
    std::size_t waiting() { return locked([this] { return requests_.size(); }); }
    // Answers not yet deleted by their requestor, which takes them so.
    std::size_t untaken() { return locked([this] { return untaken_.size(); }); }
    int errors() { return locked([this] { return errors_; }); }
    std::size_t transfersEnded() { return locked([this] { return ended_; }); }

private:
    struct Transfer {
        xcb_window_t requestor;
        xcb_atom_t property;
        std::string text;
        std::size_t sent = 0;
        // Asked for the next chunk while held.
        bool due = false;
    };

    void run() {
        while (xcb_generic_event_t* event = xcb_wait_for_event(c_)) {
            const std::lock_guard lock(mutex_);
            const auto type = event->response_type & 0x7f;
            if (type == 0) ++errors_;
            if (type == XCB_SELECTION_REQUEST) {
                auto request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
                if (request.property == XCB_NONE) request.property = request.target;
                requests_.emplace_back(request, text_);
            }
            if (type == XCB_PROPERTY_NOTIFY) {
                const auto& change = *reinterpret_cast<xcb_property_notify_event_t*>(event);
                const auto deleted = std::pair{change.window, change.atom};
                if (change.state == XCB_PROPERTY_DELETE) std::erase(untaken_, deleted);
                for (Transfer& transfer : transfers_)
                    transfer.due |= change.state == XCB_PROPERTY_DELETE &&
                                    deleted == std::pair{transfer.requestor, transfer.property};
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

    void serve() {
        std::erase_if(requests_, [this](const auto& waiting) {
            const auto& [request, text] = waiting;
            const bool waits = request.target == utf8_ && held_;
            if (waits && allowed_ == 0) return false;
            if (waits) --allowed_;
            const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
            check(xcb_change_window_attributes_checked(c_, request.requestor, XCB_CW_EVENT_MASK, &events));
            xcb_selection_notify_event_t answer{XCB_SELECTION_NOTIFY, 0, 0, request.time, request.requestor,
                                                request.selection, request.target, request.property};
            if (request.target == utf8_ && text.size() > chunk_) {
                const auto size = static_cast<std::uint32_t>(text.size());
                check(xcb_change_property_checked(c_, XCB_PROP_MODE_REPLACE, request.requestor, request.property, incr_,
                                                  32, 1, &size));
                transfers_.push_back(Transfer{request.requestor, request.property, text});
            } else if (request.target == utf8_) {
                check(xcb_change_property_checked(c_, XCB_PROP_MODE_REPLACE, request.requestor, request.property, utf8_,
                                                  8, static_cast<std::uint32_t>(text.size()), text.data()));
            } else {
                answer.property = XCB_NONE;
            }
            if (answer.property != XCB_NONE) untaken_.emplace_back(request.requestor, request.property);
            // Events are sent as 32 bytes.
            char event[32]{};
            std::memcpy(event, &answer, sizeof answer);
            check(xcb_send_event_checked(c_, 0, request.requestor, 0, event));
            return true;
        });
        std::erase_if(transfers_, [this](Transfer& transfer) {
            if (!transfer.due || held_) return false;
            transfer.due = false;
            const std::size_t length = std::min(chunk_, transfer.text.size() - transfer.sent);
            check(xcb_change_property_checked(c_, XCB_PROP_MODE_REPLACE, transfer.requestor, transfer.property,
                                              utf8_, 8, static_cast<std::uint32_t>(length),
                                              transfer.text.data() + transfer.sent));
            transfer.sent += length;
            if (++chunks_ == holdAfter_) held_ = true;
            ended_ += length == 0 ? 1 : 0;
            return length == 0;
        });
    }

    xcb_connection_t* c_;
    xcb_window_t window_ = XCB_NONE;
    xcb_atom_t clipboard_ = XCB_NONE, utf8_ = XCB_NONE, incr_ = XCB_NONE;
    bool owns_ = false;
    std::mutex mutex_;
    std::string text_;
    const std::size_t chunk_;
    const std::size_t holdAfter_;
    bool held_ = false;
    bool stopping_ = false;
    std::vector<std::pair<xcb_selection_request_event_t, std::string>> requests_;
    std::vector<Transfer> transfers_;
    std::vector<std::pair<xcb_window_t, xcb_atom_t>> untaken_;
    std::size_t allowed_ = 0;
    std::size_t chunks_ = 0;
    std::size_t ended_ = 0;
    int errors_ = 0;
    std::thread thread_;
};

} // namespace quillmere::testing
