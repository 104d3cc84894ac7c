#include "QuillmereMacCore/AudioRouting.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <type_traits>
#include <variant>

namespace quillmere::AudioRouting {

std::string description(const Route& route) {
    return std::visit(
        [](const auto& r) -> std::string {
            using R = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<R, route::EverythingElse>) {
                return fmt::format("everythingElse(excluding: [{}])", fmt::join(r.excluding, ", "));
            } else if constexpr (std::is_same_v<R, route::App>) {
                return fmt::format("app(pid: {})", r.pid);
            } else if constexpr (std::is_same_v<R, route::ClickTrack>) {
                return "clickTrack";
            } else {
                return "silent";
            }
        },
        static_cast<const Route::variant&>(route));
}

std::string describe(const std::map<std::uint32_t, Route>& routes) {
    std::string text;
    for (const auto& [surface, route] : routes) {
        if (!text.empty()) text += ' ';
        text += fmt::format("s{}:{}", surface, description(route));
    }
    return text;
}

std::map<std::uint32_t, Route> routes(const std::map<std::uint32_t, Source>& sources) {
    std::map<std::uint32_t, Route> result;
    std::vector<std::int32_t> claimed;

    // Windows first, so the display's exclusions include windows with higher
    // identifiers than its own.
    for (const auto& [surface, source] : sources) {
        const auto* window = std::get_if<source::Window>(&source);
        if (!window) continue;
        if (std::find(claimed.begin(), claimed.end(), window->pid) != claimed.end()) {
            result.emplace(surface, Route::silent());
        } else {
            claimed.push_back(window->pid);
            result.emplace(surface, Route::app(window->pid));
        }
    }

    bool displayRouted = false;
    for (const auto& [surface, source] : sources) {
        if (std::holds_alternative<source::TestPattern>(source)) {
            result.emplace(surface, Route::clickTrack());
        } else if (std::holds_alternative<source::Display>(source)) {
            result.emplace(surface, displayRouted ? Route::silent() : Route::everythingElse(claimed));
            displayRouted = true;
        }
    }
    return result;
}

Reconciliation reconcile(const std::map<std::uint32_t, Route>& current, const std::map<std::uint32_t, Route>& desired) {
    Reconciliation result;
    for (const auto& [surface, route] : desired) {
        auto it = current.find(surface);
        if (it == current.end() || !(it->second == route)) result.changed.push_back(surface);
    }
    for (const auto& [surface, route] : current) {
        if (!desired.contains(surface)) result.removed.push_back(surface);
    }
    return result;
}

} // namespace quillmere::AudioRouting
