#pragma once

#include <cstdint>
#include <string_view>

namespace quillmere {

// notice is the default level: what a plain "log" call writes.
enum class LogLevel : std::uint8_t {
    debug,
    info,
    notice,
    warning,
    error,
    fault,
};

// "debug", "info", "default", "warning", "error", "fault".
constexpr std::string_view logLevelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::notice: return "default";
    case LogLevel::warning: return "warning";
    case LogLevel::error: return "error";
    case LogLevel::fault: return "fault";
    }
    return "default";
}

} // namespace quillmere
