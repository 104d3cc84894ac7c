#pragma once

#include "Platform/Log/LogSink.h"
#include "Platform/Log/StandardErrorLogSink.h"

namespace quillmere {

// The systemd journal, with the subsystem and category as the fields
// SUBSYSTEM= and CATEGORY=. A record the journal refuses goes to standard
// error instead of being lost.
class JournalLogSink : public LogSink {
public:
    void write(const LogRecord& record) override;

    // syslog priority of a level: debug 7, info 6, default 5, error 3, fault 2.
    static int priorityOf(LogLevel level);

private:
    StandardErrorLogSink fallback_;
};

} // namespace quillmere
