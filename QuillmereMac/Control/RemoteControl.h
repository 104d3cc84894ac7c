#pragma once

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/EventPosting/EventPosting.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Consent/ConsentPresenting.h"
#include "QuillmereMac/Consent/PromptScope.h"
#include "QuillmereMac/Control/ControlFrames.h"
#include "QuillmereMac/Control/ControlSurfaces.h"
#include "QuillmereMac/Control/WindowRaising.h"
#include "QuillmereMac/Input/InputInjector.h"
#include "QuillmereMacCore/InjectAction.h"
#include "QuillmereWire/ControlMessage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// Control of this computer, following one controlled surface: the control
// prompt and its grant, the one input injector and its key-repeat timer,
// focus hints that move control between surfaces, and raising the
// controlled window. One actor: all of its state lives in one struct that
// only its queue touches, and the repeat timer runs on that queue too.
// Nothing on the queue waits for another queue; the window raiser is called
// off it.
class RemoteControl final : public std::enable_shared_from_this<RemoteControl> {
public:
    struct Services {
        Executor* mainActor = nullptr;
        // The control state's queue, where the repeat timer runs.
        std::shared_ptr<Executor> queue;
        std::shared_ptr<ControlSurfaces> surfaces;
        std::shared_ptr<ControlFrames> frames;
        std::weak_ptr<ConsentPresenting> consent;
        // Where injected input goes; without one, control is never granted.
        std::shared_ptr<EventPosting> poster;
        // Brings controlled windows forward; without one, none is raised.
        std::shared_ptr<WindowRaising> raiser;
        std::function<std::uint64_t()> clock;
    };
    // The window last raised for control, and when (0 without one).
    struct RaiseState {
        std::optional<ControlTarget> target;
        std::uint64_t lastNs = 0;
    };

    static constexpr std::uint64_t postRaiseDelayNs = 250'000'000;
    static constexpr std::uint64_t clickRaiseIntervalNs = 300'000'000;
    // The repeat timer's period and leeway while a repeat or gesture is pending.
    static constexpr std::uint64_t repeatTickNs = 5'000'000;
    static constexpr std::uint64_t repeatLeewayNs = 1'000'000;

    static std::shared_ptr<RemoteControl> make(Services services);
    explicit RemoteControl(Services services);
    ~RemoteControl();
    RemoteControl(const RemoteControl&) = delete;
    RemoteControl& operator=(const RemoteControl&) = delete;

    // Main actor. Control of the connection's surface 1, else of its lowest,
    // asked of the user with the surface's label. The prompt goes into the
    // asker's scope, when it has one: once that ends, nothing is granted.
    void requestControl(std::string clientName, std::shared_ptr<MediaConnection> connection,
                        std::function<void(bool approved)> reply, std::shared_ptr<PromptScope> prompts = {});
    // What a granted control request leaves behind: the one injector, and
    // the surface it drives.
    void takeControl(SurfaceKey surface, std::shared_ptr<InputInjector> injector);
    // A surface stopped; the stopping connection's surfaces that remain,
    // lowest first.
    void surfaceStopped(const SurfaceKey& stopped, const std::vector<SurfaceKey>& remaining);
    // Before the session sees the hint.
    void focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>& connection);
    // A surface's raster changed size: the controlled one is read anew.
    void rasterChanged(const SurfaceKey& surface);
    // Main actor: the controlled surface's frame read anew and its window
    // raised again; nothing for another surface.
    void refreshControl(const SurfaceKey& surface);
    // Main actor: the same for whichever surface is under control.
    void refreshControlled();
    // Posts through the injector, or counts the actions as dropped.
    void inject(const std::vector<InjectAction>& actions);

    // Before input is posted: a button going down raises the controlled
    // window again, at most every 0.3 s.
    void clickRaise(const std::vector<InjectAction>& actions, std::uint64_t nowNs);
    void recordRaise(std::optional<ControlTarget> target, std::uint64_t nowNs);
    // After a raise that moved the window: a refresh 0.25 s later.
    void postRaise();

    std::optional<SurfaceKey> controlledSurface() const;
    std::shared_ptr<InputInjector> injector() const;
    bool controlledIsDisplay() const;
    RaiseState raiseState() const;
    // The application to give the front back to when control returns from
    // a window to a display.
    std::optional<std::int32_t> savedFrontmost() const;
    std::int64_t droppedInput() const;
    bool repeatTimerRunning() const;

private:
    struct State {
        std::shared_ptr<InputInjector> injector;
        std::optional<SurfaceKey> controlled;
        std::uint64_t focusSequence = 0;
        RaiseState raise;
        std::optional<std::int32_t> restore;
        std::shared_ptr<DispatchTimer> repeatTimer;
        std::int64_t droppedInput = 0;
    };
    struct Retarget {
        SurfaceKey surface;
        std::uint64_t sequence = 0;
        bool fromDisplay = false;
        bool toDisplay = false;
    };

    // Runs f with the state on the control queue and waits for its result.
    template <class F>
    auto onQueue(F&& f) const {
        using Result = decltype(f(state_));
        if constexpr (std::is_void_v<Result>) {
            queue_->sync([&] { f(state_); });
        } else {
            std::optional<Result> result;
            queue_->sync([&] { result.emplace(f(state_)); });
            return std::move(*result);
        }
    }

    void controlGranted(bool granted, SurfaceKey surface, const ControlFrame& frame,
                        std::function<void(bool)> completion);
    void retarget(const Retarget& move, const std::optional<ControlFrame>& frame);
    void raiseWindow(const std::optional<ControlTarget>& target);
    // On the queue. What the injector in place holds down goes up before
    // another takes over, or none does.
    void replaceInjector(State& state, std::shared_ptr<InputInjector> injector);
    void updateRepeatTimer(State& state);
    void repeatTick();
    bool isDisplay(const std::optional<SurfaceKey>& surface) const;

    Executor& mainActor_;
    const std::shared_ptr<Executor> queue_;
    const std::shared_ptr<ControlSurfaces> surfaces_;
    const std::shared_ptr<ControlFrames> frames_;
    const std::weak_ptr<ConsentPresenting> consent_;
    const std::shared_ptr<EventPosting> poster_;
    const std::shared_ptr<WindowRaising> raiser_;
    const std::function<std::uint64_t()> clock_;

    // Touched only on queue_.
    mutable State state_;
    Logger controlLog_{"com.ornbeck.quillmere.mac", "control"};
};

} // namespace quillmere
