#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// One system input event, as the injector builds it and a poster carries it
// out. Types and field values keep the numbering of the event system the host
// was designed against, so that a recorded list reads like its event log.
struct PostedEvent {
    enum class Type : std::uint8_t {
        leftMouseDown = 1,
        leftMouseUp = 2,
        rightMouseDown = 3,
        rightMouseUp = 4,
        mouseMoved = 5,
        leftMouseDragged = 6,
        rightMouseDragged = 7,
        keyDown = 10,
        keyUp = 11,
        flagsChanged = 12,
        scrollWheel = 22,
        otherMouseDown = 25,
        otherMouseUp = 26,
        otherMouseDragged = 27,
    };

    enum class ScrollUnit : std::uint8_t { pixel = 0, line = 1 };
    enum class ScrollPhase : std::uint8_t { none = 0, began = 1, changed = 2, ended = 4 };

    // Modifier flags; left and right keys share one bit.
    static constexpr std::uint64_t shiftFlag = 0x20000;
    static constexpr std::uint64_t controlFlag = 0x40000;
    static constexpr std::uint64_t alternateFlag = 0x80000;
    static constexpr std::uint64_t commandFlag = 0x100000;

    struct Location {
        double x = 0;
        double y = 0;
        bool operator==(const Location&) const = default;
    };

    Type type = Type::mouseMoved;
    // The X key code of keyboard events; 0 for text.
    std::uint8_t keyCode = 0;
    std::uint64_t flags = 0;
    // Root-window pixels, origin at the top left.
    Location location;
    // 0 left, 1 right, 2 middle, 3 back, 4 forward.
    std::uint8_t buttonNumber = 0;
    // Scroll deltas: wheel 1 vertical (positive is up), wheel 2 horizontal
    // (positive is left).
    std::int32_t wheel1 = 0;
    std::int32_t wheel2 = 0;
    ScrollUnit unit = ScrollUnit::line;
    bool continuous = false;
    ScrollPhase phase = ScrollPhase::none;
    bool autorepeat = false;
    // Keyboard events that type text instead of a key: UTF-16 code units.
    std::u16string text;

    bool operator==(const PostedEvent&) const = default;

    static PostedEvent key(Type type, std::uint8_t keyCode, std::uint64_t flags) {
        PostedEvent event;
        event.type = type;
        event.keyCode = keyCode;
        event.flags = flags;
        return event;
    }
    static PostedEvent mouse(Type type, Location location, std::uint8_t buttonNumber, std::uint64_t flags) {
        PostedEvent event;
        event.type = type;
        event.location = location;
        event.buttonNumber = buttonNumber;
        event.flags = flags;
        return event;
    }
};

} // namespace quillmere
