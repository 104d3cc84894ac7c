#include "Platform/Log/JournalLogSink.h"

#include <array>
#include <cerrno>
#include <string>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace quillmere {

int JournalLogSink::priorityOf(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return 7;
    case LogLevel::info: return 6;
    case LogLevel::notice: return 5;
    case LogLevel::warning: return 4;
    case LogLevel::error: return 3;
    case LogLevel::fault: return 2;
    }
    return 5;
}

void JournalLogSink::write(const LogRecord& record) {
    // Fields are sent as they are, so messages may hold any byte, new lines included.
    const std::string message = std::string("MESSAGE=").append(record.message);
    const std::string priority = "PRIORITY=" + std::to_string(priorityOf(record.level));
    const std::string subsystem = std::string("SUBSYSTEM=").append(record.subsystem);
    const std::string category = std::string("CATEGORY=").append(record.category);
    const std::string identifier = std::string("SYSLOG_IDENTIFIER=").append(program_invocation_short_name);
    const std::array<const std::string*, 5> fields{&message, &priority, &subsystem, &category, &identifier};
    std::array<iovec, 5> vector{};
    for (std::size_t i = 0; i < fields.size(); ++i)
        vector[i] = iovec{const_cast<char*>(fields[i]->data()), fields[i]->size()};
    if (sd_journal_sendv(vector.data(), static_cast<int>(vector.size())) < 0) fallback_.write(record);
}

} // namespace quillmere
