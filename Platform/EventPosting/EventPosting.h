#pragma once

#include "Platform/EventPosting/PostedEvent.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// Where the injector's events go: the system's input, or a recording in
// tests. Called from connection queues, the main thread and the repeat
// timer, so an implementation must be safe for concurrent calls.
class EventPosting {
public:
    using Event = PostedEvent;

    // The keyboard's auto-repeat as the system has it, in milliseconds.
    struct KeyRepeatRate {
        double delayMs = 0;
        double intervalMs = 0;
        bool operator==(const KeyRepeatRate&) const = default;
    };

    virtual ~EventPosting() = default;

    virtual void post(const Event& event) = 0;
    // Absent when the system does not say.
    virtual std::optional<KeyRepeatRate> keyRepeatRate() = 0;
    // Lets go of every key and button posted down and not yet up, so that
    // nothing stays pressed when its injector goes.
    virtual void releaseAll() = 0;
};

} // namespace quillmere
