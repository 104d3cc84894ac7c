#pragma once

#include "Platform/Log/LogSink.h"

#include <string>

namespace quillmere {

// One line per record, "<subsystem> <category> <level>: <message>", each
// written with a single write so that lines of several threads never mix.
class StandardErrorLogSink : public LogSink {
public:
    explicit StandardErrorLogSink(int fd = 2) : fd_(fd) {}
    void write(const LogRecord& record) override;

    static std::string lineOf(const LogRecord& record);

private:
    int fd_;
};

} // namespace quillmere
