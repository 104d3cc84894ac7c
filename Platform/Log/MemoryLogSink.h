#pragma once

#include "Platform/Log/LogSink.h"

#include <mutex>
#include <string>
#include <vector>

namespace quillmere {

// Keeps every record, for tests to compare whole lines.
class MemoryLogSink : public LogSink {
public:
    struct Entry {
        LogLevel level;
        std::string subsystem;
        std::string category;
        std::string message;
        bool operator==(const Entry&) const = default;
    };

    void write(const LogRecord& record) override;

    std::vector<Entry> entries() const;
    // The messages, in the order they were written.
    std::vector<std::string> lines() const;
    // The messages of one category.
    std::vector<std::string> lines(std::string_view category) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

} // namespace quillmere
