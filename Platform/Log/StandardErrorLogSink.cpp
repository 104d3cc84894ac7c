#include "Platform/Log/StandardErrorLogSink.h"

#include <cerrno>
#include <unistd.h>

namespace quillmere {

std::string StandardErrorLogSink::lineOf(const LogRecord& record) {
    std::string line;
    line.reserve(record.subsystem.size() + record.category.size() + record.message.size() + 16);
    line.append(record.subsystem).append(" ").append(record.category).append(" ");
    line.append(logLevelName(record.level)).append(": ").append(record.message).append("\n");
    return line;
}

void StandardErrorLogSink::write(const LogRecord& record) {
    const std::string line = lineOf(record);
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nowhere left to report a failed log write
        written += static_cast<std::size_t>(n);
    }
}

} // namespace quillmere
