#include "Platform/Log/LogSink.h"

#include "Platform/Log/JournalLogSink.h"
#include "Platform/Log/StandardErrorLogSink.h"

#include <mutex>
#include <sys/stat.h>

namespace quillmere {

namespace {

struct DefaultSink {
    std::mutex mutex;
    std::shared_ptr<LogSink> sink;
};

DefaultSink& defaultSink() {
    static DefaultSink instance;
    return instance;
}

} // namespace

std::shared_ptr<LogSink> makeSystemLogSink(const std::filesystem::path& journalSocket) {
    struct stat info {};
    if (::stat(journalSocket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
        return std::make_shared<JournalLogSink>();
    return std::make_shared<StandardErrorLogSink>();
}

std::shared_ptr<LogSink> defaultLogSink() {
    auto& state = defaultSink();
    std::lock_guard lock(state.mutex);
    if (!state.sink) state.sink = makeSystemLogSink();
    return state.sink;
}

std::shared_ptr<LogSink> setDefaultLogSink(std::shared_ptr<LogSink> sink) {
    auto& state = defaultSink();
    std::lock_guard lock(state.mutex);
    std::swap(state.sink, sink);
    return sink;
}

} // namespace quillmere
