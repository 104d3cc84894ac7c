#pragma once

#include "QuillmereWire/WireEnums.h"

#include <cstdint>
#include <string>
#include <variant>

namespace quillmere {

// One system input action for the host to post. Payloads are those of the
// client's input event, unchanged.
namespace inject {
struct KeyDown { std::uint16_t usage = 0; bool operator==(const KeyDown&) const = default; };
struct KeyUp { std::uint16_t usage = 0; bool operator==(const KeyUp&) const = default; };
struct ButtonDown { InputButton button = InputButton::left; bool operator==(const ButtonDown&) const = default; };
struct ButtonUp { InputButton button = InputButton::left; bool operator==(const ButtonUp&) const = default; };
struct MoveRelative { std::int16_t dx = 0; std::int16_t dy = 0; bool operator==(const MoveRelative&) const = default; };
struct MoveAbsolute { std::uint16_t x = 0; std::uint16_t y = 0; bool operator==(const MoveAbsolute&) const = default; };
struct Scroll {
    std::int16_t dx = 0;
    std::int16_t dy = 0;
    ScrollUnit unit = ScrollUnit::pixel;
    bool operator==(const Scroll&) const = default;
};
struct Text { std::string text; bool operator==(const Text&) const = default; };
} // namespace inject

struct InjectAction : std::variant<inject::KeyDown, inject::KeyUp, inject::ButtonDown, inject::ButtonUp,
                                   inject::MoveRelative, inject::MoveAbsolute, inject::Scroll, inject::Text> {
    using variant::variant;
};

} // namespace quillmere
