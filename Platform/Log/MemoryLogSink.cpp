#include "Platform/Log/MemoryLogSink.h"

namespace quillmere {

void MemoryLogSink::write(const LogRecord& record) {
    Entry entry{record.level, std::string(record.subsystem), std::string(record.category),
                std::string(record.message)};
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::vector<MemoryLogSink::Entry> MemoryLogSink::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> MemoryLogSink::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& entry : entries_) out.push_back(entry.message);
    return out;
}

std::vector<std::string> MemoryLogSink::lines(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& entry : entries_)
        if (entry.category == category) out.push_back(entry.message);
    return out;
}

void MemoryLogSink::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

} // namespace quillmere
