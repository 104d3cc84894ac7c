#pragma once

#include "Platform/Dispatch/Executor.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace quillmere {

// A timer source on an executor: schedule, set a handler, resume; cancel
// stops it for good. The handler runs on the executor. Once cancel() returns
// on the executor itself, the handler never runs again; from another thread,
// a call already under way may still finish.
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
public:
    static std::shared_ptr<DispatchTimer> make(Executor& executor);

    // deadlineNs is absolute on the executor's clock; intervalNs 0 fires once.
    // Leeway is how late the timer may fire; it is a hint here.
    void schedule(std::uint64_t deadlineNs, std::uint64_t intervalNs = 0, std::uint64_t leewayNs = 0);
    void setHandler(std::function<void()> handler);
    void resume();
    void cancel();
    bool isCancelled() const;

    explicit DispatchTimer(Executor& executor);

private:
    void arm();
    void fire(std::uint64_t generation);

    Executor& executor_;
    mutable std::mutex mutex_;
    std::function<void()> handler_;
    std::uint64_t deadlineNs_ = 0;
    std::uint64_t intervalNs_ = 0;
    std::uint64_t generation_ = 0;
    bool scheduled_ = false;
    bool resumed_ = false;
    bool cancelled_ = false;
};

} // namespace quillmere
