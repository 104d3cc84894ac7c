#include "Platform/Log/Logger.h"

#include "Platform/Log/LogFormat.h"

namespace quillmere {

void Logger::emit(LogLevel level, std::string_view format, std::span<const LogArgument> arguments) const {
    const std::string message = renderLogFormat(format, arguments);
    const std::shared_ptr<LogSink> sink = sink_ ? sink_ : defaultLogSink();
    sink->write(LogRecord{level, subsystem_, category_, message});
}

} // namespace quillmere
