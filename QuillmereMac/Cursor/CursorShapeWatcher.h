#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereMac/Cursor/SystemCursor.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

class DispatchTimer;

// Samples the system cursor on a timer and sends its shape whenever it
// changed: ten times a second while the client gives input, twice a second
// otherwise. Lives on the main actor, but for noteInput.
class CursorShapeWatcher final : public std::enable_shared_from_this<CursorShapeWatcher> {
public:
    using Sample = std::function<std::optional<SystemCursor>()>;
    // False when the message could not go out; the shape is tried again.
    using Send = std::function<bool(const ControlMessage&)>;

    static constexpr double fastSeconds = 0.1;
    static constexpr double slowSeconds = 0.5;
    static constexpr std::uint64_t recentInputNs = 2'000'000'000;

    // The clock is the main actor's unless given.
    static std::shared_ptr<CursorShapeWatcher> make(Executor& mainActor, Sample sample, Send send,
                                                    std::function<std::uint64_t()> now = nullptr);
    ~CursorShapeWatcher();

    // Main actor.
    void tick();
    void schedule(double intervalSeconds);
    void stop();
    // The next sample is sent even when it shows the shape last sent.
    void forget() { lastKey_.reset(); }
    bool isRunning() const { return timer_ != nullptr; }
    double interval() const { return interval_; }
    std::int64_t sent() const { return sent_; }

    // Any thread: input happened now.
    void noteInput();
    // Any thread: as if the last input came at the given time.
    void setLastInput(std::uint64_t ns);

    CursorShapeWatcher(Executor& mainActor, Sample sample, Send send, std::function<std::uint64_t()> now);

private:
    struct Input {
        std::uint64_t lastNs = 0;
        bool slow = false;
    };

    Executor& mainActor_;
    const Sample sample_;
    const Send send_;
    const std::function<std::uint64_t()> now_;
    // Main actor only.
    std::shared_ptr<DispatchTimer> timer_;
    std::optional<std::uint64_t> lastKey_;
    std::int64_t sent_ = 0;
    double interval_ = 0;
    // Any thread.
    LockedBox<Input> input_;
};

} // namespace quillmere
