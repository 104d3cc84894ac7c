#pragma once

#include "Platform/Log/MemoryLogSink.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

// Routes every logger without its own sink to memory for one test.
class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<MemoryLogSink>()), previous_(setDefaultLogSink(sink_)) {}
    ~LogCapture() { setDefaultLogSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines(std::string_view category) const { return sink_->lines(category); }
    std::vector<MemoryLogSink::Entry> entries() const { return sink_->entries(); }
    void clear() { sink_->clear(); }

private:
    std::shared_ptr<MemoryLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

} // namespace quillmere::testing
