#pragma once

// The media side for the viewer's end-to-end test, answering the host
// connection as the media pipeline does: it approves consent and control,
// lists a display and the test pattern, and gives every started surface a
// pipeline of its own queue that announces its stream configuration and
// then sends real H.264 frames of the test pattern, a keyframe first and
// whenever one is asked for; the connection stamps their epochs. It keeps a
// journal of what it was asked.

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/HostConnection/HostConnection.h"
#include "QuillmereViewer/Tests/TestStream.h"
#include "TestSupport/Host/RefusingMediaDelegate.h"

#include <fmt/format.h>

#include <map>

namespace quillmere::testing {

using Journal = LockedBox<std::vector<std::string>>;

// "text hi", "buttonDown left", "moveAbsolute 40,50".
inline std::string describe(const InjectAction& action) {
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, inject::Text>) return "text " + value.text;
            else if constexpr (std::is_same_v<T, inject::ButtonDown>) return fmt::format("buttonDown {}", enumName(value.button));
            else if constexpr (std::is_same_v<T, inject::ButtonUp>) return fmt::format("buttonUp {}", enumName(value.button));
            else if constexpr (std::is_same_v<T, inject::MoveAbsolute>) return fmt::format("moveAbsolute {},{}", value.x, value.y);
            else if constexpr (std::is_same_v<T, inject::KeyDown>) return fmt::format("keyDown {}", value.usage);
            else if constexpr (std::is_same_v<T, inject::KeyUp>) return fmt::format("keyUp {}", value.usage);
            else if constexpr (std::is_same_v<T, inject::MoveRelative>) return fmt::format("moveRelative {},{}", value.dx, value.dy);
            else return fmt::format("scroll {},{}", value.dx, value.dy);
        },
        static_cast<const InjectAction::variant&>(action));
}

class ScriptedPipeline final : public SurfacePipeline {
public:
    static constexpr int width = 160;
    static constexpr int height = 96;
    static constexpr std::uint64_t intervalNs = 16'000'000;

    ScriptedPipeline(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> owner, std::shared_ptr<Journal> journal)
        : ScriptedPipeline(surfaceID, std::move(owner), std::move(journal),
                           std::make_shared<SerialQueue>("com.ornbeck.quillmeremac.pipeline." + std::to_string(surfaceID))) {}

    ~ScriptedPipeline() override { stop(); }

    void requestKeyframe() override {
        queue_->async([self = shared_from_this(), this] { keyframeRequested_ = true; });
    }
    void setBitrate(std::uint32_t) override {}
    void setTier(std::int64_t, std::uint32_t) override {}

    // The stream configuration, with the encoder's own parameter sets.
    void announce() {
        queue_->sync([&] {
            const auto first = encoder_.encode(0, true);
            (void)first;
            if (auto owner = owner_.lock()) owner->announceStreamConfig(encoder_.config(1));
        });
    }

    void startSending() {
        queue_->sync([&] {
            if (timer_) return;
            timer_ = DispatchTimer::make(*queue_);
            timer_->schedule(Clock::nowNs(), intervalNs);
            timer_->setHandler([this] { sendNext(); });
            timer_->resume();
        });
    }

    void stop() {
        queue_->sync([&] {
            if (timer_) timer_->cancel();
            timer_.reset();
        });
    }

private:
    ScriptedPipeline(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> owner, std::shared_ptr<Journal> journal,
                     std::shared_ptr<SerialQueue> queue)
        : SurfacePipeline(surfaceID, owner, CaptureChoice::testPattern(), Environment{queue, {}, [] { return false; }}),
          surfaceID_(surfaceID), owner_(std::move(owner)), journal_(std::move(journal)), queue_(std::move(queue)) {}

    void sendNext() {
        auto owner = owner_.lock();
        if (!owner) return;
        const bool keyframe = keyframeRequested_ || number_ == 0;
        keyframeRequested_ = false;
        const auto frame = encoder_.encode(++number_, keyframe);
        // The connection stamps the epoch a keyframe starts as it sends it.
        if (frame.keyframe && keyframe && number_ > 1) note(fmt::format("keyframe {}", number_));
        EncodedFrame out = encodedFrame(frame, number_, 0, 1, Clock::nowNs());
        out.surfaceID = surfaceID_;
        owner->sendFrame(std::move(out));
    }

    void note(std::string line) {
        journal_->withLock([&](auto& lines) { lines.push_back(std::move(line)); });
    }

    std::uint32_t surfaceID_;
    std::weak_ptr<MediaConnection> owner_;
    std::shared_ptr<Journal> journal_;
    std::shared_ptr<SerialQueue> queue_;
    // On the queue.
    TestStreamEncoder encoder_{width, height};
    std::shared_ptr<DispatchTimer> timer_;
    bool keyframeRequested_ = false;
    std::uint32_t number_ = 0;
};

class ScriptedMedia final : public RefusingMediaDelegate {
public:
    static constexpr std::uint32_t testPatternID = CaptureChoice::testPatternID;

    std::vector<std::string> journal() const { return journal_->get(); }
    bool saw(const std::string& line) const {
        const auto lines = journal();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    void requestCaptureConsent(std::string clientName, std::uint32_t captureID, std::function<void(bool)> reply,
                               std::shared_ptr<PromptScope>) override {
        note(fmt::format("consent {} for {}", CaptureChoice::fromCaptureID(captureID).description(), clientName));
        reply(true);
    }
    void startSurface(std::uint32_t surfaceID, std::uint32_t windowID,
                      std::shared_ptr<MediaConnection> connection) override {
        stopSurface(surfaceID, connection);
        auto pipeline = std::make_shared<ScriptedPipeline>(surfaceID, connection, journal_);
        pipelines_.withLock([&](auto& table) { table[{connection.get(), surfaceID}] = pipeline; });
        note(fmt::format("startSurface {} {}", surfaceID, CaptureChoice::fromCaptureID(windowID).description()));
        pipeline->announce();
    }
    void beginMedia(std::uint32_t surfaceID, std::uint32_t, std::shared_ptr<MediaConnection> connection) override {
        last_.set(connection);
        note(fmt::format("beginMedia {}", surfaceID));
        if (auto found = pipeline(surfaceID, connection))
            std::static_pointer_cast<ScriptedPipeline>(found)->startSending();
    }
    void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override {
        stop({connection.get(), surfaceID});
    }
    void setPaused(std::uint32_t surfaceID, bool paused, const std::shared_ptr<MediaConnection>&) override {
        note(fmt::format("paused {} {}", surfaceID, paused));
    }
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override {
        return pipelines_.withLock([&](auto& table) -> std::shared_ptr<SurfacePipeline> {
            const auto found = table.find({connection.get(), surfaceID});
            return found == table.end() ? nullptr : found->second;
        });
    }
    void inject(const std::vector<InjectAction>& actions) override {
        for (const auto& action : actions) note("inject " + describe(action));
    }
    void requestControl(std::string clientName, std::shared_ptr<MediaConnection>, std::function<void(bool)> reply,
                        std::shared_ptr<PromptScope>) override {
        note(fmt::format("control for {}", clientName));
        reply(true);
    }
    void captureList(std::function<void(std::vector<CaptureWindow>)> reply) override {
        note("windowList");
        reply({CaptureWindow{CaptureWindow::displayIDBase, "Built-in Display", "", 1920, 1080},
               CaptureWindow{testPatternID, "Test pattern (measurement)", "", ScriptedPipeline::width,
                             ScriptedPipeline::height}});
    }
    bool testPatternEnabled() override { return true; }
    bool permission() override { return true; }
    std::shared_ptr<MediaConnection> lastConnection() override { return last_.get().lock(); }

    ~ScriptedMedia() override {
        std::vector<Key> surfaces;
        pipelines_.withLock([&](auto& table) {
            for (const auto& [key, pipeline] : table) surfaces.push_back(key);
        });
        for (const auto& key : surfaces) stop(key);
    }

private:
    // Keyed by connection and surface, as the real table is.
    using Key = std::pair<const MediaConnection*, std::uint32_t>;

    void stop(const Key& key) {
        std::shared_ptr<ScriptedPipeline> stopped;
        pipelines_.withLock([&](auto& table) {
            if (const auto found = table.find(key); found != table.end()) {
                stopped = found->second;
                table.erase(found);
            }
        });
        if (!stopped) return;
        stopped->stop();
        note(fmt::format("stopSurface {}", key.second));
    }

    void note(std::string line) {
        journal_->withLock([&](auto& lines) { lines.push_back(std::move(line)); });
    }

    std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
    LockedBox<std::map<Key, std::shared_ptr<ScriptedPipeline>>> pipelines_;
    LockedBox<std::weak_ptr<MediaConnection>> last_;
};

} // namespace quillmere::testing
