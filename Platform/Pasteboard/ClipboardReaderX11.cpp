#include "Platform/Pasteboard/ClipboardReaderX11.h"

#include "Platform/Dispatch/Clock.h"
#include "QuillmereBase/UTF8.h"

#include <fmt/format.h>

#include <poll.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

namespace quillmere {

namespace {

// The whole value of a property in one reply, however long.
constexpr std::uint32_t wholeProperty = 0x1fffffff;

std::string latin1ToUTF8(std::string_view latin1) {
    std::string text;
    text.reserve(latin1.size());
    for (const char byte : latin1) {
        const auto code = static_cast<unsigned char>(byte);
        if (code < 0x80) {
            text += byte;
        } else {
            text += static_cast<char>(0xc0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3f));
        }
    }
    return text;
}

ClipboardReadError noDisplay(std::string detail) {
    return ClipboardReadError{ClipboardReadError::Kind::noDisplay, std::move(detail), 0, {}};
}

class Transfer {
public:
    Transfer(XcbConnection& x, std::uint64_t deadlineNs) : x_(x), c_(x.get()), deadlineNs_(deadlineNs) {
        static constexpr std::array<std::string_view, 5> names{"CLIPBOARD", "UTF8_STRING", "INCR", "TARGETS",
                                                               "QUILLMERE_CLIPBOARD"};
        const auto atoms = x_.atoms(names);
        clipboard_ = atoms[0];
        utf8_ = atoms[1];
        incr_ = atoms[2];
        targets_ = atoms[3];
        property_ = atoms[4];
        const xcb_screen_t& screen = *x_.screens().at(static_cast<std::size_t>(x_.defaultScreenNumber()));
        window_ = xcb_generate_id(c_);
        // Property changes carry the chunks of a long text.
        const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen.root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    }

    xcb_window_t owner() {
        XcbReply<xcb_get_selection_owner_reply_t> reply(
            xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr));
        return reply ? reply->owner : XCB_NONE;
    }

    xcb_atom_t utf8() const { return utf8_; }
    xcb_atom_t targets() const { return targets_; }

    // What the owner did with a request for one form of the selection.
    enum class Answer : std::uint8_t { given, refused, silent };

    Answer convert(xcb_atom_t target, std::string& given) {
        xcb_convert_selection(c_, window_, clipboard_, target, property_, XCB_CURRENT_TIME);
        x_.flush();
        const auto notify = waitFor([&](const xcb_generic_event_t& event) {
            if ((event.response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
            const auto& selection = reinterpret_cast<const xcb_selection_notify_event_t&>(event);
            return selection.requestor == window_ && selection.selection == clipboard_;
        });
        if (!notify) return Answer::silent;
        if (reinterpret_cast<const xcb_selection_notify_event_t&>(*notify).property == XCB_NONE)
            return Answer::refused;
        auto first = take();
        if (!first) return Answer::refused;
        if (first->type != incr_) {
            given = value(*first);
            return Answer::given;
        }
        // The owner sends the rest a chunk at a time, each once we took the
        // last, and ends with an empty one.
        given.clear();
        for (;;) {
            const auto chunk = waitFor([&](const xcb_generic_event_t& event) {
                if ((event.response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
                const auto& change = reinterpret_cast<const xcb_property_notify_event_t&>(event);
                return change.window == window_ && change.atom == property_ &&
                       change.state == XCB_PROPERTY_NEW_VALUE;
            });
            if (!chunk) return Answer::silent;
            const auto part = take();
            if (!part) return Answer::refused;
            if (xcb_get_property_value_length(part.get()) == 0) return Answer::given;
            given += value(*part);
        }
    }

    std::string name(xcb_window_t window) {
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

    bool broken() const { return x_.hasError(); }

private:
    XcbReply<xcb_get_property_reply_t> take() {
        return XcbReply<xcb_get_property_reply_t>(xcb_get_property_reply(
            c_, xcb_get_property(c_, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, wholeProperty), nullptr));
    }

    static std::string value(xcb_get_property_reply_t& reply) {
        return std::string(static_cast<const char*>(xcb_get_property_value(&reply)),
                           static_cast<std::size_t>(xcb_get_property_value_length(&reply)));
    }

    // The first event that matches, other events dropped; none once the
    // deadline passed or the connection broke.
    XcbReply<xcb_generic_event_t> waitFor(const std::function<bool(const xcb_generic_event_t&)>& matches) {
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
                XcbReply<xcb_generic_event_t> held(event);
                if (matches(*held)) return held;
            }
            const std::uint64_t now = Clock::nowNs();
            if (x_.hasError() || now >= deadlineNs_) return nullptr;
            pollfd readable{x_.fileDescriptor(), POLLIN, 0};
            ::poll(&readable, 1, static_cast<int>((deadlineNs_ - now + 999'999) / 1'000'000));
        }
    }

    XcbConnection& x_;
    xcb_connection_t* c_;
    const std::uint64_t deadlineNs_;
    xcb_atom_t clipboard_ = XCB_NONE;
    xcb_atom_t utf8_ = XCB_NONE;
    xcb_atom_t incr_ = XCB_NONE;
    xcb_atom_t targets_ = XCB_NONE;
    xcb_atom_t property_ = XCB_NONE;
    xcb_window_t window_ = XCB_NONE;
};

} // namespace

std::string ClipboardReadError::description(std::uint64_t boundNs) const {
    switch (kind) {
    case Kind::noDisplay: return fmt::format("the clipboard could not be read: {}", detail);
    case Kind::silentOwner:
        return fmt::format("the clipboard's owner, window {:#x}{}, did not answer within {:g} s", owner,
                           ownerName.empty() ? "" : fmt::format(" ({})", ownerName),
                           static_cast<double>(boundNs) / 1e9);
    }
    return "the clipboard could not be read";
}

ClipboardReaderX11::Read ClipboardReaderX11::read(const XcbConnection::Opener& open, std::uint64_t boundNs) {
    const std::uint64_t deadlineNs = Clock::nowNs() + boundNs;
    auto opened = open();
    if (!opened) return std::unexpected(noDisplay(opened.error().description()));
    Transfer transfer(**opened, deadlineNs);
    const xcb_window_t owner = transfer.owner();
    if (owner == XCB_NONE) return std::nullopt;
    const auto silent = [&]() -> ClipboardReaderX11::Read {
        if (transfer.broken()) return std::unexpected(noDisplay("the connection to the display broke"));
        ClipboardReadError error{ClipboardReadError::Kind::silentOwner, {}, owner, transfer.name(owner)};
        return std::unexpected(std::move(error));
    };
    // The forms it offers, so that what is not text is not read as text.
    // An owner that does not list them may still give text.
    std::vector<xcb_atom_t> forms{transfer.utf8(), XCB_ATOM_STRING};
    std::string listed;
    switch (transfer.convert(transfer.targets(), listed)) {
    case Transfer::Answer::silent: return silent();
    case Transfer::Answer::refused: break;
    case Transfer::Answer::given:
        std::erase_if(forms, [&](xcb_atom_t form) {
            for (std::size_t at = 0; at + sizeof form <= listed.size(); at += sizeof form)
                if (std::memcmp(listed.data() + at, &form, sizeof form) == 0) return false;
            return true;
        });
        break;
    }
    for (const xcb_atom_t form : forms) {
        std::string text;
        switch (transfer.convert(form, text)) {
        case Transfer::Answer::given:
            if (form != transfer.utf8()) return latin1ToUTF8(text);
            if (isValidUTF8(text)) return text;
            break;
        case Transfer::Answer::refused: break;
        case Transfer::Answer::silent: return silent();
        }
    }
    return std::nullopt;
}

} // namespace quillmere
