#pragma once

#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillmere {

// One input request of the command line.
namespace input_step {
struct Type { std::string text; bool operator==(const Type&) const = default; };
struct Move { std::uint16_t x = 0; std::uint16_t y = 0; bool operator==(const Move&) const = default; };
// A left-button press and release.
struct Click { bool operator==(const Click&) const = default; };
} // namespace input_step

using InputStep = std::variant<input_step::Type, input_step::Move, input_step::Click>;

// Sends the command line's input once the host grants control: asks for
// control, then sends one event per step interval under the granted
// generation, and renews the lease whenever half of it passed without input,
// until every event is out. Plain value; time is passed in.
class InputScript {
public:
    enum class Phase : std::uint8_t { idle, requested, granted, finished, refused, revoked };

    static constexpr std::uint64_t defaultStepNs = 50'000'000;

    explicit InputScript(const std::vector<InputStep>& steps, std::uint64_t stepNs = defaultStepNs);

    bool wanted() const { return !events_.empty(); }
    Phase phase() const { return phase_; }

    // The control request, once, when there is input to send.
    std::optional<ControlMessage> request();
    // The host's input-control state. An expiry only let go of held input:
    // the grant stays.
    void controlState(std::uint32_t generation, InputControlStateValue state, std::uint16_t leaseMs);
    // What to send now: the next event when its turn has come, else a renewal
    // when the lease is half gone.
    std::optional<ControlMessage> poll(std::uint64_t nowNs);

    std::int64_t eventsSent() const { return eventsSent_; }
    std::int64_t renewalsSent() const { return renewalsSent_; }
    std::int64_t eventCount() const { return static_cast<std::int64_t>(events_.size()); }

    // Long texts become several text events, cut between characters.
    static std::vector<InputEvent> eventsFor(const std::vector<InputStep>& steps);

private:
    ControlMessage message(InputEvent event, std::uint64_t nowNs);

    std::vector<InputEvent> events_;
    std::uint64_t stepNs_;
    Phase phase_ = Phase::idle;
    std::uint32_t generation_ = 0;
    std::uint64_t leaseNs_ = 0;
    std::size_t next_ = 0;
    std::uint32_t seq_ = 0;
    std::optional<std::uint64_t> lastSentNs_;
    std::optional<std::uint64_t> lastEventNs_;
    std::int64_t eventsSent_ = 0;
    std::int64_t renewalsSent_ = 0;
};

std::string_view phaseName(InputScript::Phase phase);

} // namespace quillmere
