#include "QuillmereMac/Input/InputInjector.h"

#include "Platform/EventPosting/KeyTable.h"
#include "QuillmereMac/Input/Utf16Chunks.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <variant>

namespace quillmere {

namespace {

using Type = PostedEvent::Type;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

struct ButtonEvent {
    Type down;
    Type up;
    std::uint8_t number;
};

ButtonEvent buttonEvent(InputButton button) {
    switch (button) {
    case InputButton::left: return {Type::leftMouseDown, Type::leftMouseUp, 0};
    case InputButton::right: return {Type::rightMouseDown, Type::rightMouseUp, 1};
    case InputButton::middle: return {Type::otherMouseDown, Type::otherMouseUp, 2};
    case InputButton::back: return {Type::otherMouseDown, Type::otherMouseUp, 3};
    case InputButton::forward: return {Type::otherMouseDown, Type::otherMouseUp, 4};
    }
    return {Type::otherMouseDown, Type::otherMouseUp, 2};
}

} // namespace

InputInjector::InputInjector(std::shared_ptr<EventPosting> poster, Rect windowFrame, KeyRepeat keyRepeat)
    : windowFrame(windowFrame),
      poster_(std::move(poster)),
      cursor_{(windowFrame.minX() + windowFrame.maxX()) / 2, (windowFrame.minY() + windowFrame.maxY()) / 2},
      keyRepeat_(keyRepeat) {
    keyRepeat_.usage.reset();
    keyRepeat_.nextNs = 0;
}

void InputInjector::send(const PostedEvent& event) {
    ++posted_;
    if (poster_) poster_->post(event);
}

void InputInjector::post(const InjectAction& action, std::uint64_t nowNs) {
    std::visit(
        [&](const auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, inject::KeyDown>) {
                key(a.usage, true, nowNs);
            } else if constexpr (std::is_same_v<A, inject::KeyUp>) {
                key(a.usage, false, nowNs);
            } else if constexpr (std::is_same_v<A, inject::ButtonDown>) {
                button(a.button, true);
            } else if constexpr (std::is_same_v<A, inject::ButtonUp>) {
                button(a.button, false);
            } else if constexpr (std::is_same_v<A, inject::MoveRelative>) {
                moveCursor(cursor_.x + a.dx, cursor_.y + a.dy);
            } else if constexpr (std::is_same_v<A, inject::MoveAbsolute>) {
                const double width = windowFrame.maxX() - windowFrame.minX();
                const double height = windowFrame.maxY() - windowFrame.minY();
                moveCursor(windowFrame.minX() + a.x / 65535.0 * width, windowFrame.minY() + a.y / 65535.0 * height);
            } else if constexpr (std::is_same_v<A, inject::Scroll>) {
                scroll(a, nowNs);
            } else {
                static_assert(std::is_same_v<A, inject::Text>);
                text(a.text);
            }
        },
        static_cast<const InjectAction::variant&>(action));
}

void InputInjector::key(std::uint16_t usage, bool down, std::uint64_t nowNs) {
    const auto entry = KeyTable::find(usage);
    if (!entry) {
        ++unsupportedKeys_;
        return;
    }
    if (entry->flag != 0) {
        heldFlags_ = down ? heldFlags_ | entry->flag : heldFlags_ & ~entry->flag;
    } else if (down) {
        keyRepeat_.usage = usage;
        keyRepeat_.nextNs = saturatingAdd(nowNs, keyRepeat_.delayNs);
    } else if (keyRepeat_.usage == usage) {
        keyRepeat_.usage.reset();
    }
    PostedEvent event = PostedEvent::key(down ? Type::keyDown : Type::keyUp, entry->keyCode, heldFlags_);
    if (entry->flag != 0) event.type = Type::flagsChanged;
    send(event);
}

void InputInjector::button(InputButton button, bool down) {
    if (down)
        heldButtons_.insert(button);
    else
        heldButtons_.erase(button);
    const ButtonEvent kind = buttonEvent(button);
    send(PostedEvent::mouse(down ? kind.down : kind.up, cursor_, kind.number, heldFlags_));
}

void InputInjector::moveCursor(double x, double y) {
    // Lower bound first, then the upper one, as the frame's last pixel is
    // one short of its edge.
    x = std::min(std::max(x, windowFrame.minX()), windowFrame.maxX() - 1);
    y = std::min(std::max(y, windowFrame.minY()), windowFrame.maxY() - 1);
    cursor_ = {x, y};
    Type type = Type::mouseMoved;
    if (heldButtons_.contains(InputButton::left))
        type = Type::leftMouseDragged;
    else if (heldButtons_.contains(InputButton::right))
        type = Type::rightMouseDragged;
    else if (!heldButtons_.empty())
        type = Type::otherMouseDragged;
    send(PostedEvent::mouse(type, cursor_, 0, heldFlags_));
}

void InputInjector::scroll(const inject::Scroll& scroll, std::uint64_t nowNs) {
    PostedEvent event = PostedEvent::mouse(Type::scrollWheel, cursor_, 0, heldFlags_);
    event.wheel1 = scroll.dy;
    event.wheel2 = scroll.dx;
    if (scroll.unit == ScrollUnit::pixel) {
        event.unit = PostedEvent::ScrollUnit::pixel;
        event.continuous = true;
        // A clock read a little earlier on another queue counts as no time.
        const bool open = scrollGesture_.lastNs &&
                          (nowNs < *scrollGesture_.lastNs || nowNs - *scrollGesture_.lastNs < scrollGesture_.idleNs);
        event.phase = open ? PostedEvent::ScrollPhase::changed : PostedEvent::ScrollPhase::began;
        scrollGesture_.lastNs = nowNs;
    } else {
        event.unit = PostedEvent::ScrollUnit::line;
    }
    send(event);
}

void InputInjector::text(const std::string& text) {
    for (std::u16string& chunk : utf16Chunks(text, textChunkUnits)) {
        PostedEvent down = PostedEvent::key(Type::keyDown, 0, 0);
        down.text = chunk;
        send(down);
        PostedEvent up = PostedEvent::key(Type::keyUp, 0, 0);
        up.text = std::move(chunk);
        send(up);
    }
}

void InputInjector::repeatKeyIfDue(std::uint64_t nowNs) {
    if (!keyRepeat_.usage || nowNs < keyRepeat_.nextNs) return;
    // After a late tick the next repeat is still at least half an interval away.
    keyRepeat_.nextNs = std::max(saturatingAdd(nowNs, keyRepeat_.intervalNs / 2),
                                 saturatingAdd(keyRepeat_.nextNs, keyRepeat_.intervalNs));
    const auto entry = KeyTable::find(*keyRepeat_.usage);
    if (!entry) return;
    PostedEvent event = PostedEvent::key(Type::keyDown, entry->keyCode, heldFlags_);
    event.autorepeat = true;
    send(event);
}

void InputInjector::endScrollIfIdle(std::uint64_t nowNs) {
    repeatKeyIfDue(nowNs);
    if (!scrollGesture_.lastNs || nowNs < *scrollGesture_.lastNs ||
        nowNs - *scrollGesture_.lastNs < scrollGesture_.idleNs)
        return;
    scrollGesture_.lastNs.reset();
    PostedEvent event = PostedEvent::mouse(Type::scrollWheel, cursor_, 0, 0);
    event.unit = PostedEvent::ScrollUnit::pixel;
    event.continuous = true;
    event.phase = PostedEvent::ScrollPhase::ended;
    send(event);
}

void InputInjector::releaseHeld() {
    if (poster_) poster_->releaseAll();
}

} // namespace quillmere
