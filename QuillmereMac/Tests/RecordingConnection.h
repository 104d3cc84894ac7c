#pragma once

// A stand-in for a client's connection as the media side sees it: it keeps
// what it is handed, from any thread.

#include "QuillmereMac/Surface/MediaConnection.h"
#include "QuillmereMac/Tests/AudioTestSupport.h"
#include "TestSupport/Eventually.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace quillmere::testing {

class RecordingConnection final : public MediaConnection {
public:
    explicit RecordingConnection(std::optional<Capabilities> capabilities = std::nullopt)
        : capabilities_(std::move(capabilities)) {}

    std::optional<Capabilities> capabilitiesCopy() const override {
        std::lock_guard lock(mutex_);
        return capabilities_;
    }
    void setCapabilities(std::optional<Capabilities> capabilities) {
        std::lock_guard lock(mutex_);
        capabilities_ = std::move(capabilities);
    }

    void announceStreamConfig(StreamConfig config) override { record([&] { configs_.push_back(std::move(config)); }); }
    void sendFrame(EncodedFrame frame) override {
        record([&] {
            frames_.push_back(std::move(frame));
            if (onFrame_) onFrame_(frames_.back());
        });
    }
    void noteContentChanged(std::uint32_t surfaceID) override {
        record([&] { contentChanges_.push_back(surfaceID); });
    }
    void endSurface(std::uint32_t surfaceID) override { record([&] { ended_.push_back(surfaceID); }); }
    DatagramPacer::Metrics pacerMetrics() override {
        DatagramPacer::Metrics metrics;
        record([&] { metrics.paced = ++pacerReads_; });
        return metrics;
    }

    void keepSurface(std::uint32_t surfaceID, std::weak_ptr<SurfaceHandle> handle) override {
        record([&] { kept_[surfaceID] = std::move(handle); });
    }
    // The pipeline the connection was last given for a surface.
    std::shared_ptr<SurfaceHandle> kept(std::uint32_t surfaceID) const {
        std::lock_guard lock(mutex_);
        const auto found = kept_.find(surfaceID);
        return found == kept_.end() ? nullptr : found->second.lock();
    }
    std::shared_ptr<AudioSink> audioSink() override { return audio; }
    bool sendControl(const ControlMessage& message) override {
        record([&] { control_.push_back(message); });
        return true;
    }

    std::vector<StreamConfig> configs() const { return read(configs_); }
    std::vector<ControlMessage> control() const { return read(control_); }
    std::vector<EncodedFrame> frames() const { return read(frames_); }
    std::vector<std::uint32_t> contentChanges() const { return read(contentChanges_); }
    std::vector<std::uint32_t> ended() const { return read(ended_); }

    // Called under the recorder's lock for every frame, in order.
    void onFrame(std::function<void(const EncodedFrame&)> hook) { record([&] { onFrame_ = std::move(hook); }); }

    // Waits until the recorder satisfies a condition.
    bool waitUntil(const std::function<bool(const RecordingConnection&)>& condition) {
        return eventually([&] { return condition(*this); });
    }
    bool waitForFrames(std::size_t count) {
        return waitUntil([count](const RecordingConnection& c) { return c.frames().size() >= count; });
    }

private:
    template <class T>
    T read(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class F>
    void record(F&& f) {
        std::lock_guard lock(mutex_);
        f();
    }

    mutable std::mutex mutex_;
    std::optional<Capabilities> capabilities_;
    std::vector<StreamConfig> configs_;
    std::vector<EncodedFrame> frames_;
    std::vector<std::uint32_t> contentChanges_;
    std::vector<std::uint32_t> ended_;
    std::map<std::uint32_t, std::weak_ptr<SurfaceHandle>> kept_;
    std::int64_t pacerReads_ = 0;
    std::function<void(const EncodedFrame&)> onFrame_;
    std::vector<ControlMessage> control_;

public:
    // What audio streams hand this connection.
    const std::shared_ptr<RecordingAudioSink> audio = std::make_shared<RecordingAudioSink>();
};

} // namespace quillmere::testing
