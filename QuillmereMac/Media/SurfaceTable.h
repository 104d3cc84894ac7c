#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Audio/AudioSurfaces.h"
#include "QuillmereMac/Catalog/DisplayQueries.h"
#include "QuillmereMac/Control/ControlSurfaces.h"
#include "QuillmereMac/Media/RequestedStream.h"
#include "QuillmereMac/Media/SurfacePipeline.h"
#include "QuillmereMac/Surface/RequestedBox.h"
#include "QuillmereMac/Surface/SurfaceKey.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quillmere {

// The live surface pipelines of every connection, their budgets and pauses,
// the start of their capture on the main actor, and capturing again after an
// interruption. Each field is a box of its own; none is held across a call
// into a pipeline, a connection, a hook or a task.
class SurfaceTable final : public ControlSurfaces,
                           public AudioSurfaces,
                           public std::enable_shared_from_this<SurfaceTable> {
public:
    using SourceFactory = std::function<std::shared_ptr<CaptureSource>(CaptureChoice, RequestedStream)>;
    using Entry = std::pair<SurfaceKey, std::shared_ptr<SurfacePipeline>>;

    struct Services {
        // Where capture sources are made and started.
        Executor* mainActor = nullptr;
        // Where stops and delayed re-captures run.
        std::shared_ptr<Executor> tasks;
        std::function<std::uint64_t()> clock;
        SurfacePipeline::Environment pipelines;
        SourceFactory makeSource;
        DisplayQueries displays;
        // Main actor: why content could not be captured, in words, when a
        // capture fails for that; nothing once a capture starts.
        std::function<void(std::optional<std::string>)> captureProblem{};
    };
    // Set once, before the first surface starts.
    struct Hooks {
        // A surface's captured raster changed size.
        std::function<void(const SurfaceKey&)> rasterChanged;
        // A surface to be started and its media begun anew, for its own
        // connection: after an interruption, or after the displays changed.
        std::function<void(std::uint32_t surfaceID, std::uint32_t captureID, std::shared_ptr<MediaConnection>)>
            restart;
    };
    // What a stop left behind.
    struct Removal {
        // The stopping connection's surfaces that remain, lowest first.
        std::vector<SurfaceKey> remaining;
        // Whether any connection still has a surface.
        bool surfacesLeft = false;
    };

    static constexpr std::uint64_t recaptureWindowNs = 60'000'000'000;
    static constexpr std::uint64_t recaptureDelayNs = 1'000'000'000;
    static constexpr std::int64_t recapturesPerSurface = 3;

    static std::shared_ptr<SurfaceTable> make(Services services);
    explicit SurfaceTable(Services services);
    void setHooks(Hooks hooks);

    void start(std::uint32_t surfaceID, std::uint32_t captureID, std::shared_ptr<MediaConnection> connection);
    Removal stop(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection);
    // The connection becomes the last one and the surface starts sending.
    void beginSending(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection);
    void captureInterrupted(std::uint32_t surfaceID, std::uint32_t captureID,
                            const std::shared_ptr<MediaConnection>& connection);
    // None once it has ended: the table keeps no connection alive.
    std::shared_ptr<MediaConnection> lastConnection() const { return lastConnection_.get().lock(); }

    std::shared_ptr<SurfacePipeline> pipeline(const SurfaceKey& key) const;
    std::optional<Entry> lowest() const;
    std::size_t count() const;
    // Every live surface, lowest identifier first.
    std::vector<Entry> all() const;
    // Every live surface of every connection leaves its quiet state.
    void noteInput(std::uint64_t nowNs) const;

    // True when the pause changed anything.
    bool setPaused(const SurfaceKey& key, bool paused);
    void setBudget(const SurfaceKey& key, std::optional<RequestedBox> box);
    void clearBudget(const SurfaceKey& key);
    std::optional<RequestedBox> budget(const SurfaceKey& key) const;
    // What a surface asks of its source, from the client's capabilities and
    // the surface's budget.
    RequestedStream requestedStream(const SurfaceKey& key, const std::optional<Capabilities>& capabilities) const;

    std::optional<DisplayQueries::PixelSize> displayPixelSize(int index) const;
    bool isDisplayOnline(std::uint32_t displayID) const;
    // Every display surface's budget applied anew to the displays as they are.
    void refitDisplaySurfaces();
    // Every display surface captured anew, for its own connection.
    void restartDisplaySurfaces();

    std::optional<CaptureChoice> choiceOf(const SurfaceKey& surface) override;
    std::optional<std::pair<SurfaceKey, CaptureChoice>>
    controlCandidate(const std::shared_ptr<MediaConnection>& connection) override;
    std::vector<std::pair<std::uint32_t, CaptureChoice>>
    audibleSurfaces(const std::shared_ptr<MediaConnection>& connection) override;

private:
    using Table = std::map<SurfaceKey, std::shared_ptr<SurfacePipeline>, SurfaceKeyOrder>;

    void startCapture(std::shared_ptr<SurfacePipeline> pipeline, SurfaceKey key,
                      std::shared_ptr<MediaConnection> connection);
    void retire(std::shared_ptr<SurfacePipeline> pipeline);
    RequestedBox defaultBudget(const std::shared_ptr<MediaConnection>& connection) const;

    Executor& mainActor_;
    const std::shared_ptr<Executor> tasks_;
    const std::function<std::uint64_t()> clock_;
    const SurfacePipeline::Environment pipelineEnvironment_;
    const SourceFactory makeSource_;
    const DisplayQueries displays_;
    const std::function<void(std::optional<std::string>)> captureProblem_;
    Hooks hooks_;

    LockedBox<Table> table_;
    LockedBox<std::map<SurfaceKey, RequestedBox, SurfaceKeyOrder>> budgets_;
    LockedBox<std::set<SurfaceKey, SurfaceKeyOrder>> paused_;
    LockedBox<std::weak_ptr<MediaConnection>> lastConnection_;
    LockedBox<std::vector<std::uint64_t>> recaptures_;

    Logger log_{"com.ornbeck.quillmere.mac", "pipeline"};
    Logger controlLog_{"com.ornbeck.quillmere.mac", "control"};
};

} // namespace quillmere
