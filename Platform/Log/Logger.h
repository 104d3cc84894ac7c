#pragma once

#include "Platform/Log/LogArgument.h"
#include "Platform/Log/LogLevel.h"
#include "Platform/Log/LogSink.h"

#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace quillmere {

// A log by subsystem and category. Formats are those of renderLogFormat
// ("listener failed: %{public}s"). Safe to use from any thread.
class Logger {
public:
    // Without a sink the logger writes to the default sink of the moment.
    Logger(std::string subsystem, std::string category, std::shared_ptr<LogSink> sink = nullptr)
        : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    template <class... Args>
    void log(LogLevel level, std::string_view format, const Args&... args) const {
        const std::array<LogArgument, sizeof...(Args)> arguments{LogArgument(args)...};
        emit(level, format, arguments);
    }

    template <class... Args>
    void debug(std::string_view format, const Args&... args) const { log(LogLevel::debug, format, args...); }
    template <class... Args>
    void info(std::string_view format, const Args&... args) const { log(LogLevel::info, format, args...); }
    // The default level.
    template <class... Args>
    void notice(std::string_view format, const Args&... args) const { log(LogLevel::notice, format, args...); }
    template <class... Args>
    void warning(std::string_view format, const Args&... args) const { log(LogLevel::warning, format, args...); }
    template <class... Args>
    void error(std::string_view format, const Args&... args) const { log(LogLevel::error, format, args...); }
    template <class... Args>
    void fault(std::string_view format, const Args&... args) const { log(LogLevel::fault, format, args...); }

private:
    void emit(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const;

    std::string subsystem_;
    std::string category_;
    std::shared_ptr<LogSink> sink_;
};

} // namespace quillmere
