#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace quillmere {

// One value for a log format. Texts are borrowed: a line is rendered before
// the call that logs it returns.
class LogArgument {
public:
    enum class Kind : std::uint8_t { signedInteger, unsignedInteger, floating, boolean, text, pointer };

    LogArgument(bool value) : value_(value) {}
    template <std::signed_integral T>
    LogArgument(T value) : value_(static_cast<std::int64_t>(value)) {}
    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    LogArgument(T value) : value_(static_cast<std::uint64_t>(value)) {}
    template <std::floating_point T>
    LogArgument(T value) : value_(static_cast<double>(value)) {}
    template <class T>
        requires std::is_enum_v<T>
    LogArgument(T value) : LogArgument(static_cast<std::underlying_type_t<T>>(value)) {}
    LogArgument(const char* text) : value_(std::string_view(text == nullptr ? "(null)" : text)) {}
    LogArgument(std::string_view text) : value_(text) {}
    LogArgument(const std::string& text) : value_(std::string_view(text)) {}
    LogArgument(const void* pointer) : value_(pointer) {}
    // Values that describe themselves (errors, identifiers) log their description.
    template <class T>
        requires requires(const T& value) {
            { value.description() } -> std::convertible_to<std::string>;
        }
    LogArgument(const T& value) : value_(std::string(value.description())) {}

    Kind kind() const;
    std::int64_t asSigned() const;
    std::uint64_t asUnsigned() const;
    double asDouble() const;
    // Texts as they are; numbers in decimal; booleans as true or false.
    std::string asText() const;

private:
    std::variant<std::int64_t, std::uint64_t, double, bool, std::string_view, std::string, const void*> value_;
};

} // namespace quillmere
