#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// The menu-bar presentation of whether this computer is being shared. The shell
// compares it with the one it shows and applies it only when it differs.
class SharingIndicator {
public:
    class State {
    public:
        static State sharing(std::int64_t count) { return State(true, count); }
        static State idle() { return State(false, 0); }
        // 1 or more is sharing with that count; 0 or less is idle.
        static State fromActiveSessionCount(std::int64_t count) {
            return count >= 1 ? sharing(count) : idle();
        }

        bool isSharing() const { return sharing_; }
        // The session count while sharing; 0 when idle.
        std::int64_t count() const { return count_; }

        bool operator==(const State&) const = default;

    private:
        State(bool sharing, std::int64_t count) : sharing_(sharing), count_(count) {}

        bool sharing_;
        std::int64_t count_;
    };

    static constexpr std::string_view idleSymbolName = "rectangle.on.rectangle";
    static constexpr std::string_view sharingSymbolName = "record.circle.fill";

    explicit SharingIndicator(State state);
    static SharingIndicator fromActiveSessionCount(std::int64_t count) {
        return SharingIndicator(State::fromActiveSessionCount(count));
    }

    const State& state() const { return state_; }
    const std::string& symbolName() const { return symbolName_; }
    bool isLive() const { return isLive_; }
    const std::string& toolTip() const { return toolTip_; }
    const std::string& accessibilityDescription() const { return accessibilityDescription_; }
    // Absent exactly when idle.
    const std::optional<std::string>& menuStatusTitle() const { return menuStatusTitle_; }

    bool operator==(const SharingIndicator&) const = default;

private:
    State state_;
    std::string symbolName_;
    bool isLive_;
    std::string toolTip_;
    std::string accessibilityDescription_;
    std::optional<std::string> menuStatusTitle_;
};

} // namespace quillmere
