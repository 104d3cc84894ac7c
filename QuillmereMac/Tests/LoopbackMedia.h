#pragma once

// A media side for loopback tests, safe on every queue: it approves every
// capture, announces one stream configuration per surface, and records what
// the pipelines are asked.

#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereMac/HostConnection/HostConnection.h"
#include "TestSupport/Host/RefusingMediaDelegate.h"

#include <fmt/format.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillmere::testing {

class LoopbackPipeline final : public SurfacePipeline {
public:
    LoopbackPipeline(std::uint32_t surfaceID, std::shared_ptr<MediaConnection> owner,
                     std::shared_ptr<LockedBox<std::vector<std::string>>> journal)
        : SurfacePipeline(surfaceID, std::move(owner), CaptureChoice::window(0),
                          Environment{std::make_shared<SerialQueue>("com.ornbeck.quillmeremac.pipeline." +
                                                                    std::to_string(surfaceID)),
                                      {}, [] { return false; }}),
          journal_(std::move(journal)) {}

    void requestKeyframe() override {}
    void setBitrate(std::uint32_t kbps) override { note(fmt::format("setBitrate {} {}", surfaceID(), kbps)); }
    void setTier(std::int64_t, std::uint32_t) override {}

private:
    void note(std::string line) {
        journal_->withLock([&](auto& lines) { lines.push_back(std::move(line)); });
    }

    std::shared_ptr<LockedBox<std::vector<std::string>>> journal_;
};

class LoopbackMedia final : public RefusingMediaDelegate {
public:
    std::vector<std::string> journal() const { return journal_->get(); }
    bool saw(const std::string& line) const {
        const auto lines = journal();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    void requestCaptureConsent(std::string, std::uint32_t, std::function<void(bool)> reply,
                               std::shared_ptr<PromptScope>) override {
        reply(true);
    }
    void startSurface(std::uint32_t surfaceID, std::uint32_t, std::shared_ptr<MediaConnection> connection) override {
        auto pipeline = std::make_shared<LoopbackPipeline>(surfaceID, connection, journal_);
        pipelines_.withLock([&](auto& table) { table[{connection.get(), surfaceID}] = pipeline; });
        note(fmt::format("startSurface {}", surfaceID));
        // Parameter sets as an H.264 encoder gives them: SPS, then PPS.
        connection->announceStreamConfig(StreamConfig{surfaceID, 1, 1, VideoCodec::h264, 640, 360, 30, 20000,
                                                      {Bytes{0x67, 0x42, 0xC0, 0x1E}, Bytes{0x68, 0xCE, 0x3C, 0x80}}});
    }
    void beginMedia(std::uint32_t surfaceID, std::uint32_t, std::shared_ptr<MediaConnection> connection) override {
        last_.set(connection);
        note(fmt::format("beginMedia {}", surfaceID));
    }
    void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override {
        pipelines_.withLock([&](auto& table) { table.erase({connection.get(), surfaceID}); });
        note(fmt::format("stopSurface {}", surfaceID));
    }
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override {
        return pipelines_.withLock([&](auto& table) -> std::shared_ptr<SurfacePipeline> {
            const auto found = table.find({connection.get(), surfaceID});
            return found == table.end() ? nullptr : found->second;
        });
    }
    bool testPatternEnabled() override { return true; }
    bool permission() override { return true; }
    std::shared_ptr<MediaConnection> lastConnection() override { return last_.get().lock(); }

private:
    void note(std::string line) {
        journal_->withLock([&](auto& lines) { lines.push_back(std::move(line)); });
    }

    std::shared_ptr<LockedBox<std::vector<std::string>>> journal_ =
        std::make_shared<LockedBox<std::vector<std::string>>>();
    // Keyed by connection and surface, as the real table is.
    LockedBox<std::map<std::pair<const MediaConnection*, std::uint32_t>, std::shared_ptr<LoopbackPipeline>>> pipelines_;
    LockedBox<std::weak_ptr<MediaConnection>> last_;
};

} // namespace quillmere::testing
