#pragma once

// A poster that writes down what it is given, for the injector's logic.

#include "Platform/EventPosting/EventPosting.h"

#include <mutex>
#include <ostream>
#include <vector>

namespace quillmere {

inline void PrintTo(const PostedEvent& e, std::ostream* out) {
    *out << "{type " << int(e.type) << " key " << int(e.keyCode) << " flags 0x" << std::hex << e.flags << std::dec
         << " at (" << e.location.x << "," << e.location.y << ") button " << int(e.buttonNumber) << " wheels "
         << e.wheel1 << "," << e.wheel2 << " unit " << int(e.unit) << " continuous " << e.continuous << " phase "
         << int(e.phase) << " autorepeat " << e.autorepeat << " text units " << e.text.size() << "}";
}

namespace testing {

class RecordingPoster final : public EventPosting {
public:
    void post(const Event& event) override {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::optional<KeyRepeatRate> keyRepeatRate() override { return rate; }
    void releaseAll() override {
        std::lock_guard lock(mutex_);
        ++releases_;
    }

    // Returns what was posted since the last call.
    std::vector<Event> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    int releases() const {
        std::lock_guard lock(mutex_);
        return releases_;
    }

    std::optional<KeyRepeatRate> rate;

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    int releases_ = 0;
};

} // namespace testing
} // namespace quillmere
