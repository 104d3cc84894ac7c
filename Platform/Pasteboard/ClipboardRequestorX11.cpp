#include "Platform/Pasteboard/ClipboardRequestorX11.h"

#include "Platform/Dispatch/Clock.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace quillmere {

namespace {

constexpr std::string_view propertyName = "QUILLMERE_CLIPBOARD";

std::string value(xcb_get_property_reply_t& reply) {
    return std::string(static_cast<const char*>(xcb_get_property_value(&reply)),
                       static_cast<std::size_t>(xcb_get_property_value_length(&reply)));
}

const xcb_selection_notify_event_t* selectionNotify(const xcb_generic_event_t& event) {
    if ((event.response_type & 0x7f) != XCB_SELECTION_NOTIFY) return nullptr;
    return reinterpret_cast<const xcb_selection_notify_event_t*>(&event);
}

const xcb_property_notify_event_t* propertyNotify(const xcb_generic_event_t& event) {
    if ((event.response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return nullptr;
    return reinterpret_cast<const xcb_property_notify_event_t*>(&event);
}

} // namespace

ClipboardRequestorX11::ClipboardRequestorX11(XcbConnection& x, Wait wait)
    : x_(x), c_(x.get()), wait_(std::move(wait)) {
    static constexpr std::array<std::string_view, 6> names{"CLIPBOARD", "UTF8_STRING", "INCR",
                                                           "TARGETS",   propertyName,  "QUILLMERE_CLIPBOARD_TIME"};
    const auto atoms = x_.atoms(names);
    clipboard_ = atoms[0];
    utf8_ = atoms[1];
    incr_ = atoms[2];
    targets_ = atoms[3];
    properties_.push_back(Property{atoms[4]});
    timeProperty_ = atoms[5];
    const xcb_screen_t& screen = *x_.screens().at(static_cast<std::size_t>(x_.defaultScreenNumber()));
    window_ = xcb_generate_id(c_);
    // Property changes carry the chunks of a long text, and the time.
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
}

ClipboardRequestorX11::~ClipboardRequestorX11() {
    xcb_destroy_window(c_, window_);
    x_.flush();
}

bool ClipboardRequestorX11::begin(std::uint64_t deadlineNs) {
    if (properties_[reading_].state == Property::State::reading) properties_[reading_].state = Property::State::free;
    // ICCCM wants a real time in the request; a zero-length append changes
    // nothing but gets one.
    xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, timeProperty_, XCB_ATOM_STRING, 8, 0, nullptr);
    x_.flush();
    const auto changed = waitFor(
        [&](const xcb_generic_event_t& event) {
            const auto* change = propertyNotify(event);
            return change && change->window == window_ && change->atom == timeProperty_;
        },
        deadlineNs);
    if (!changed) return false;
    time_ = propertyNotify(*changed)->time;
    const auto free = std::ranges::find(properties_, Property::State::free, &Property::state);
    if (free != properties_.end()) {
        reading_ = static_cast<std::size_t>(free - properties_.begin());
    } else {
        // Every one awaits an answer: the owner's may never come.
        const xcb_atom_t atom = x_.atom(fmt::format("{}_{}", propertyName, properties_.size()));
        if (atom == XCB_NONE) return false;
        reading_ = properties_.size();
        properties_.push_back(Property{atom});
    }
    properties_[reading_].state = Property::State::reading;
    return true;
}

ClipboardRequestorX11::Property& ClipboardRequestorX11::reading() { return properties_[reading_]; }

ClipboardRequestorX11::Answer ClipboardRequestorX11::convert(xcb_atom_t target, std::size_t longest,
                                                             std::string& given, std::uint64_t deadlineNs) {
    Property& property = reading();
    given.clear();
    xcb_convert_selection(c_, window_, clipboard_, target, property.atom, time_);
    x_.flush();
    const auto notify = waitFor(
        [&](const xcb_generic_event_t& event) {
            const auto* answer = selectionNotify(event);
            if (!answer || answer->requestor != window_ || answer->selection != clipboard_) return false;
            if (answer->property == property.atom) return true;
            // Owners echo the request's time; some leave it at CurrentTime.
            return answer->property == XCB_NONE && answer->target == target &&
                   (answer->time == time_ || answer->time == XCB_CURRENT_TIME);
        },
        deadlineNs);
    if (!notify) {
        property = Property{property.atom, Property::State::awaited, target, time_};
        return Answer::silent;
    }
    if (selectionNotify(*notify)->property == XCB_NONE) return Answer::refused;
    const auto first = take(property.atom, longest + 1);
    if (!first || first->type == XCB_NONE) return Answer::refused;
    if (first->type != incr_) {
        given = value(*first);
        if (first->bytes_after == 0 && given.size() <= longest) return Answer::given;
        given.resize(std::min(given.size(), longest + 1));
        return Answer::tooLong;
    }
    // Taking INCR asked for the first chunk; each next one comes once we
    // took the last, and an empty one ends the text.
    for (;;) {
        const auto chunk = waitFor(
            [&](const xcb_generic_event_t& event) {
                const auto* change = propertyNotify(event);
                return change && change->window == window_ && change->atom == property.atom &&
                       change->state == XCB_PROPERTY_NEW_VALUE;
            },
            deadlineNs);
        if (!chunk) {
            property.state = Property::State::draining;
            return Answer::silent;
        }
        const auto part = take(property.atom, longest + 1 - given.size());
        if (!part || part->type == XCB_NONE) {
            property.state = Property::State::draining;
            return Answer::refused;
        }
        if (xcb_get_property_value_length(part.get()) == 0) return Answer::given;
        given += value(*part);
        if (part->bytes_after > 0 || given.size() > longest) {
            given.resize(std::min(given.size(), longest + 1));
            property.state = Property::State::draining;
            return Answer::tooLong;
        }
    }
}

void ClipboardRequestorX11::pump() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
        const XcbReply<xcb_generic_event_t> held(event);
        drop(*held);
    }
}

XcbReply<xcb_generic_event_t> ClipboardRequestorX11::waitFor(
    const std::function<bool(const xcb_generic_event_t&)>& matches, std::uint64_t deadlineNs) {
    for (;;) {
        // Dropping may wait for replies, which reads further events into
        // the queue: take them all before waiting on the socket again.
        while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
            XcbReply<xcb_generic_event_t> held(event);
            if (matches(*held)) return held;
            drop(*held);
        }
        if (x_.hasError() || Clock::nowNs() >= deadlineNs || !wait_(deadlineNs)) return nullptr;
    }
}

void ClipboardRequestorX11::drop(const xcb_generic_event_t& event) {
    if (const auto* answer = selectionNotify(event); answer && answer->requestor == window_) {
        for (Property& property : properties_) {
            if (property.state != Property::State::awaited) continue;
            if (answer->property == property.atom) {
                // An INCR answer sends its chunks once this is deleted.
                const auto type = take(property.atom, 0);
                const bool chunked = type && type->type == incr_;
                property.state = chunked ? Property::State::draining : Property::State::free;
                return;
            }
            if (answer->property == XCB_NONE && answer->target == property.target && answer->time == property.time) {
                property.state = Property::State::free;
                return;
            }
        }
    } else if (const auto* change = propertyNotify(event);
               change && change->window == window_ && change->state == XCB_PROPERTY_NEW_VALUE) {
        for (Property& property : properties_) {
            if (property.state != Property::State::draining || property.atom != change->atom) continue;
            const auto chunk = take(property.atom, 0);
            if (chunk && chunk->type != XCB_NONE && chunk->bytes_after == 0) property.state = Property::State::free;
            return;
        }
    }
}

XcbReply<xcb_get_property_reply_t> ClipboardRequestorX11::take(xcb_atom_t property, std::size_t limit) {
    const auto words = static_cast<std::uint32_t>(std::min<std::size_t>((limit + 3) / 4, 0x1fffffff));
    XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 1, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, words), nullptr));
    // The server deletes it only once all of it was read. The owner waits
    // for the deletion to send more.
    if (reply && reply->type != XCB_NONE && reply->bytes_after > 0) {
        xcb_delete_property(c_, window_, property);
        x_.flush();
    }
    return reply;
}

xcb_window_t ClipboardRequestorX11::owner() {
    XcbReply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr));
    return reply ? reply->owner : XCB_NONE;
}

std::string ClipboardRequestorX11::name(xcb_window_t window) {
    for (const xcb_atom_t atom : {xcb_atom_t{XCB_ATOM_WM_CLASS}, xcb_atom_t{XCB_ATOM_WM_NAME}}) {
        XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c_, xcb_get_property(c_, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr));
        if (!reply || xcb_get_property_value_length(reply.get()) == 0) continue;
        std::string text = value(*reply);
        // WM_CLASS holds the instance, then the class, each ended by a zero byte.
        if (atom == XCB_ATOM_WM_CLASS) text = text.substr(0, text.find('\0'));
        if (!text.empty()) return text;
    }
    return {};
}

} // namespace quillmere
