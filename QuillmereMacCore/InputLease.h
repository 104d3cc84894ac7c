#pragma once

#include "QuillmereMacCore/InjectAction.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace quillmere {

// Gate between the client's input messages and this computer's input system: admits
// input only under the current grant, in sequence order and under a motion
// budget, and remembers what is held so that nothing stays pressed when
// control ends or the client goes quiet.
class InputLease {
public:
    struct Counters {
        std::int64_t accepted = 0;
        std::int64_t droppedInactive = 0;
        std::int64_t droppedStale = 0;
        std::int64_t droppedOrder = 0;
        std::int64_t droppedRate = 0;
        std::int64_t ignoredDuplicate = 0;
        std::int64_t expiries = 0;
        bool operator==(const Counters&) const = default;
    };

    struct Grant {
        std::uint32_t generation = 0;
        std::vector<InjectAction> releases;
    };

    // maxMotionPerSecond below 1 is raised to 1.
    InputLease(std::uint64_t leaseNs, std::int64_t maxMotionPerSecond);

    std::vector<InjectAction> admit(std::uint32_t seq, std::uint32_t generation, const InputEvent& event,
                                    std::uint64_t now);
    Grant grant(std::uint64_t now);
    std::vector<InjectAction> revoke();
    std::vector<InjectAction> expireIfIdle(std::uint64_t now);
    // Buttons first, then keys, each from the most recently pressed.
    std::vector<InjectAction> releaseAll();

    std::uint64_t leaseNs() const { return leaseNs_; }
    std::int64_t maxMotionPerSecond() const { return maxMotionPerSecond_; }
    std::uint32_t generation() const { return generation_; }
    bool active() const { return active_; }
    const std::vector<std::uint16_t>& heldKeys() const { return heldKeys_; }
    const std::vector<InputButton>& heldButtons() const { return heldButtons_; }
    const Counters& counters() const { return counters_; }
    std::optional<std::uint32_t> lastSeq() const { return lastSeq_; }
    std::uint64_t lastValidNs() const { return lastValidNs_; }
    std::uint64_t windowStartNs() const { return windowStartNs_; }
    std::int64_t motionInWindow() const { return motionInWindow_; }

private:
    std::vector<InjectAction> admitMotion(InjectAction action);

    std::uint64_t leaseNs_;
    std::int64_t maxMotionPerSecond_;
    std::uint32_t generation_ = 0;
    bool active_ = false;
    std::vector<std::uint16_t> heldKeys_;
    std::vector<InputButton> heldButtons_;
    Counters counters_;
    std::optional<std::uint32_t> lastSeq_;
    std::uint64_t lastValidNs_ = 0;
    std::uint64_t windowStartNs_ = 0;
    std::int64_t motionInWindow_ = 0;
};

} // namespace quillmere
