#pragma once

#include "Platform/Accessibility/WindowSystem.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Control/WindowRaising.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere {

// Raises a window in three stages: at once (fit to the display, raise, make
// it the key window, activate its process), again on the main actor once
// the activation went out, and 0.15 s later a check that it is its
// application's front window, with one retry when it is not. Remembers the
// last other application that was activated, so that control can hand the
// front back to it.
class AXWindowRaiser final : public WindowRaising, public std::enable_shared_from_this<AXWindowRaiser> {
public:
    // What the last raise saw.
    struct Outcome {
        // The first raise's X error, 0 when it went through.
        std::int32_t first = 0;
        bool fronted = false;
        std::optional<std::int32_t> second;
        std::optional<bool> onTop;
        bool retried = false;
        bool operator==(const Outcome&) const = default;
    };

    static constexpr std::uint64_t checkDelayNs = 150'000'000;

    // main: where activations, the second stage and the check run.
    // observeActivations: follow which application comes to the front.
    static std::shared_ptr<AXWindowRaiser> make(std::shared_ptr<WindowSystem> system, Executor& main,
                                                bool observeActivations, std::int32_t ownPID);
    ~AXWindowRaiser() override;
    AXWindowRaiser(const AXWindowRaiser&) = delete;
    AXWindowRaiser& operator=(const AXWindowRaiser&) = delete;

    // Any thread; the later stages run on the main actor.
    bool raise(const ControlTarget& target) override;
    void restoreFrontmost(std::int32_t pid) override;
    std::optional<std::int32_t> lastOther() const override { return lastOther_->get(); }
    std::optional<Outcome> lastOutcome() const { return lastOutcome_.get(); }

    AXWindowRaiser(std::shared_ptr<WindowSystem> system, Executor& main);

private:
    struct Raised {
        WindowSystem::Window window;
        std::size_t windowCount;
        std::int32_t first;
        bool fronted;
        bool fitted;
        std::int32_t pid;
        // Where the window is now: moved by the fit, else the target's frame.
        Rect frame;
    };

    // Activates on the main actor (at once when already there), then runs then.
    void activate(std::int32_t pid, std::function<void()> then);
    void secondStage(const Raised& raised);
    void check(const Raised& raised, std::int32_t second);

    const std::shared_ptr<WindowSystem> system_;
    Executor& main_;
    // Shared with the activation handler, which must not hold the raiser:
    // the last owner letting go there would end the window system on its
    // own watching thread.
    const std::shared_ptr<LockedBox<std::optional<std::int32_t>>> lastOther_ =
        std::make_shared<LockedBox<std::optional<std::int32_t>>>();
    LockedBox<std::optional<Outcome>> lastOutcome_;
    std::optional<std::uint64_t> observer_;
    Logger log_{"com.ornbeck.quillmere.mac", "control"};
};

} // namespace quillmere
