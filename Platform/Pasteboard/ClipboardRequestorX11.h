#pragma once

#include "Platform/X11/XcbConnection.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillmere {

// The window the CLIPBOARD's owner is asked to answer into, for as long as
// its connection lives. An owner may answer after we stopped waiting, or go
// on sending the chunks of a text we read no further: its answer must land
// on a window that still exists (a program that keeps Xlib's default error
// handler exits on the BadWindow it would get otherwise) and be deleted
// unread, which lets the owner finish as with any requestor. So each read
// takes a property no earlier answer may still come into, and a time of
// its own, against which refusals (which name no property) are matched.
// One thread.
class ClipboardRequestorX11 {
public:
    // Blocks until the connection may have something to read, or until the
    // deadline; false to end the wait at once.
    using Wait = std::function<bool(std::uint64_t deadlineNs)>;

    ClipboardRequestorX11(XcbConnection& x, Wait wait);
    ~ClipboardRequestorX11();
    ClipboardRequestorX11(const ClipboardRequestorX11&) = delete;
    ClipboardRequestorX11& operator=(const ClipboardRequestorX11&) = delete;

    // What the owner did with a request for one form of the selection.
    enum class Answer : std::uint8_t {
        given,
        refused,
        // Not within the deadline: its answer is dropped when it comes.
        silent,
        // More than the longest asked for: given holds its first longest + 1
        // bytes; the rest is dropped unread.
        tooLong,
    };

    // Starts a read: its own property and a server time. False when the
    // server did not say the time before the deadline.
    bool begin(std::uint64_t deadlineNs);
    // One form of the selection, asked for under the read's time.
    Answer convert(xcb_atom_t target, std::size_t longest, std::string& given, std::uint64_t deadlineNs);
    // Drops the late answers that came meanwhile; for when no read is under way.
    void pump();

    xcb_atom_t utf8() const { return utf8_; }
    xcb_atom_t targets() const { return targets_; }
    xcb_window_t owner();
    // The window's class or title, when it has one.
    std::string name(xcb_window_t window);

private:
    struct Property {
        xcb_atom_t atom = XCB_NONE;
        enum class State : std::uint8_t {
            free,
            // Taken by the read under way.
            reading,
            // A conversion given up: its answer, or refusal, may still come.
            awaited,
            // An owner sending chunks we drop, until its empty last one.
            draining,
        } state = State::free;
        // awaited: the conversion's target and time.
        xcb_atom_t target = XCB_NONE;
        xcb_timestamp_t time = XCB_CURRENT_TIME;
    };

    Property& reading();
    // The first event that matches, others handed to drop; none once the
    // deadline passed, the connection broke or the wait was ended.
    XcbReply<xcb_generic_event_t> waitFor(const std::function<bool(const xcb_generic_event_t&)>& matches,
                                          std::uint64_t deadlineNs);
    // Handles an event that belongs to no conversion under way.
    void drop(const xcb_generic_event_t& event);
    // Deletes what an owner put into the property, unread; true when that
    // was the empty last chunk, or nothing.
    bool discard(xcb_atom_t property);
    // Takes the property's value, at most limit bytes of it; the rest, if
    // any, is deleted unread and counted in bytesAfter.
    XcbReply<xcb_get_property_reply_t> take(xcb_atom_t property, std::size_t limit);

    XcbConnection& x_;
    xcb_connection_t* c_;
    const Wait wait_;
    xcb_atom_t clipboard_ = XCB_NONE;
    xcb_atom_t utf8_ = XCB_NONE;
    xcb_atom_t incr_ = XCB_NONE;
    xcb_atom_t targets_ = XCB_NONE;
    xcb_atom_t timeProperty_ = XCB_NONE;
    xcb_window_t window_ = XCB_NONE;
    std::vector<Property> properties_;
    std::size_t reading_ = 0;
    xcb_timestamp_t time_ = XCB_CURRENT_TIME;
};

} // namespace quillmere
