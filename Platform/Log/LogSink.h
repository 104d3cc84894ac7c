#pragma once

#include "Platform/Log/LogLevel.h"

#include <filesystem>
#include <memory>
#include <string_view>

namespace quillmere {

struct LogRecord {
    LogLevel level;
    std::string_view subsystem;
    std::string_view category;
    std::string_view message;
};

// Where rendered lines go. Sinks are called from any thread.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

// The journal when its socket exists, else standard error.
std::shared_ptr<LogSink> makeSystemLogSink(
    const std::filesystem::path& journalSocket = "/run/systemd/journal/socket");

// The sink of loggers made without one; the system sink until replaced.
std::shared_ptr<LogSink> defaultLogSink();
// Returns the sink it replaces.
std::shared_ptr<LogSink> setDefaultLogSink(std::shared_ptr<LogSink> sink);

} // namespace quillmere
