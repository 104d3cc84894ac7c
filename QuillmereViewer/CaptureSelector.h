#pragma once

#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

// Which entry of the host's capture list to show: the first one, a window
// identifier, a display by index, or the first title holding a text.
class CaptureSelector {
public:
    struct First { bool operator==(const First&) const = default; };
    struct Identifier { std::uint32_t windowID = 0; bool operator==(const Identifier&) const = default; };
    struct Display { std::uint32_t index = 0; bool operator==(const Display&) const = default; };
    // Case-insensitive for ASCII letters.
    struct Title { std::string text; bool operator==(const Title&) const = default; };
    using Value = std::variant<First, Identifier, Display, Title>;

    static constexpr std::uint32_t maxDisplays = 16;

    CaptureSelector() = default;
    explicit CaptureSelector(Value value) : value_(std::move(value)) {}

    // "1234", "0x4d2", "display:0", "title:Terminal"; any other text is a title.
    static std::expected<CaptureSelector, std::string> parse(std::string_view text);

    // The chosen entry, or why none fits.
    std::expected<CaptureWindow, std::string> choose(std::span<const CaptureWindow> windows) const;

    const Value& value() const { return value_; }
    // "first", "window 1234", "display 0", "title \"Terminal\"".
    std::string description() const;

    bool operator==(const CaptureSelector&) const = default;

private:
    Value value_ = First{};
};

} // namespace quillmere
