#include "QuillmereViewer/Interruption.h"

#include <csignal>
#include <thread>

namespace quillmere {
namespace {

void onSignal(int signal) {
    Interruption::process().raise();
    // The second one is not waited for.
    std::signal(signal, SIG_DFL);
}

} // namespace

bool Interruption::sleep(std::chrono::milliseconds duration) const {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!raised()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(20)));
    }
    return true;
}

Interruption& Interruption::process() {
    static Interruption interruption;
    return interruption;
}

void Interruption::installSignalHandlers() {
    static_assert(std::atomic<bool>::is_always_lock_free);
    // Made before a handler can reach it.
    process();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

} // namespace quillmere
