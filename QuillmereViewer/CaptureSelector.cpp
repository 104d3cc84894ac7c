#include "QuillmereViewer/CaptureSelector.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace quillmere {
namespace {

std::optional<std::uint32_t> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [](char a, char b) { return lower(a) == lower(b); }) != haystack.end();
}

} // namespace

std::expected<CaptureSelector, std::string> CaptureSelector::parse(std::string_view text) {
    constexpr std::string_view displayPrefix = "display:";
    constexpr std::string_view titlePrefix = "title:";
    if (text.starts_with(displayPrefix)) {
        const auto index = parseNumber(text.substr(displayPrefix.size()));
        if (!index || *index >= maxDisplays)
            return std::unexpected(fmt::format("\"{}\" names no display: use display:0 to display:{}", text,
                                               maxDisplays - 1));
        return CaptureSelector(Display{*index});
    }
    if (text.starts_with(titlePrefix)) text.remove_prefix(titlePrefix.size());
    else if (const auto identifier = parseNumber(text)) return CaptureSelector(Identifier{*identifier});
    if (text.empty()) return std::unexpected(std::string("an empty title matches every capture"));
    return CaptureSelector(Title{std::string(text)});
}

std::expected<CaptureWindow, std::string> CaptureSelector::choose(std::span<const CaptureWindow> windows) const {
    if (windows.empty()) return std::unexpected(std::string("the host offers nothing to capture"));
    auto find = [&](auto predicate) -> std::expected<CaptureWindow, std::string> {
        const auto found = std::find_if(windows.begin(), windows.end(), predicate);
        if (found == windows.end())
            return std::unexpected(fmt::format("no capture of the host matches {}", description()));
        return *found;
    };
    return std::visit(
        [&](const auto& value) -> std::expected<CaptureWindow, std::string> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, First>) {
                return windows.front();
            } else if constexpr (std::is_same_v<T, Identifier>) {
                return find([&](const CaptureWindow& window) { return window.windowID == value.windowID; });
            } else if constexpr (std::is_same_v<T, Display>) {
                const std::uint32_t identifier = CaptureWindow::displayIDBase + value.index;
                return find([&](const CaptureWindow& window) { return window.windowID == identifier; });
            } else {
                return find([&](const CaptureWindow& window) { return containsIgnoringCase(window.title, value.text); });
            }
        },
        value_);
}

std::string CaptureSelector::description() const {
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, First>) return "first";
            else if constexpr (std::is_same_v<T, Identifier>) return fmt::format("window {}", value.windowID);
            else if constexpr (std::is_same_v<T, Display>) return fmt::format("display {}", value.index);
            else return fmt::format("title \"{}\"", value.text);
        },
        value_);
}

} // namespace quillmere
