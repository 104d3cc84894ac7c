#pragma once

// A scripted stand-in for the peer connection and the media side: both write
// what they are asked into one shared transcript, so that a test sees the
// exact order of sends and media calls.

#include "QuillmereMac/HostConnection/HostConnection.h"

#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereWire/MediaDatagram.h"

#include <fmt/format.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillmere::testing {

inline std::string describe(const ControlMessage& message) {
    std::string name(message.caseName());
    if (const auto* s = message.as<msg::CaptureState>())
        return fmt::format("{}({} gen {} {})", name, s->surfaceID, s->captureGeneration, enumName(s->state));
    if (const auto* s = message.as<StreamConfig>()) return fmt::format("{}({} gen {})", name, s->surfaceID, s->configGeneration);
    if (const auto* s = message.as<msg::InputControlState>())
        return fmt::format("{}(gen {} {} lease {})", name, s->generation, enumName(s->state), s->leaseMs);
    if (const auto* s = message.as<msg::CaptureList>()) return fmt::format("{}({})", name, s->windows.size());
    if (const auto* s = message.as<msg::ClipboardResult>())
        return fmt::format("{}({} {})", name, s->requestID, enumName(s->outcome));
    if (const auto* s = message.as<msg::Error>()) return fmt::format("{}({} \"{}\")", name, enumName(s->code), s->reason);
    if (const auto* s = message.as<msg::Bye>()) return fmt::format("{}({})", name, enumName(s->reason));
    if (const auto* s = message.as<Hello>()) return fmt::format("{}({})", name, s->name);
    if (const auto* s = message.as<msg::AudioConfig>()) return fmt::format("{}(gen {})", name, s->generation);
    return name;
}

using Transcript = std::vector<std::string>;

struct FakePeer final : HostPeer {
    explicit FakePeer(Transcript& transcript) : transcript(transcript) {}

    Transcript& transcript;
    ManualExecutor executor{"com.ornbeck.quillmeretransport.server"};
    EventHandler handler;
    std::int64_t usable = 1200;
    bool autoComplete = true;
    std::vector<SharedBytes> datagrams;
    std::vector<Completion> completions;
    std::vector<ControlMessage> controls;
    bool started = false;

    Executor& queue() override { return executor; }
    void start(EventHandler onEvent) override {
        started = true;
        handler = std::move(onEvent);
    }
    void sendControl(const ControlMessage& message) override {
        controls.push_back(message);
        transcript.push_back("send " + describe(message));
    }
    void close(double graceSeconds) override { transcript.push_back(fmt::format("close({})", graceSeconds)); }
    void sendDatagram(SharedBytes datagram, Completion completion) override {
        datagrams.push_back(datagram);
        if (autoComplete) {
            if (completion) completion(true);
        } else {
            completions.push_back(std::move(completion));
        }
    }
    std::int64_t usableDatagramSize() const override { return usable; }

    void emit(const PeerEvent& event) {
        if (handler) handler(event);
    }
    void receive(ControlMessage message) { emit(peer::Control{std::move(message)}); }

    std::vector<MediaHeader> headers() const {
        std::vector<MediaHeader> out;
        for (const SharedBytes& d : datagrams) {
            auto decoded = MediaDatagram::decode(d.view());
            out.push_back(decoded ? decoded->header : MediaHeader{});
        }
        return out;
    }
};

// A pipeline that only writes down what the connection asks of it.
struct FakePipeline final : SurfacePipeline {
    FakePipeline(Transcript& transcript, std::shared_ptr<Executor> executor, std::uint32_t surfaceID,
                 std::shared_ptr<MediaConnection> owner)
        : SurfacePipeline(surfaceID, std::move(owner), CaptureChoice::window(0),
                          Environment{std::move(executor), {}, [] { return false; }}),
          transcript(transcript) {}

    Transcript& transcript;

    void requestKeyframe() override {
        queue().async([self = shared_from_this(), this] {
            transcript.push_back(fmt::format("pipeline {} keyframeRequested", surfaceID()));
        });
    }
    void setBitrate(std::uint32_t kbps) override {
        transcript.push_back(fmt::format("pipeline {} setBitrate({})", surfaceID(), kbps));
    }
    void setTier(std::int64_t fps, std::uint32_t kbps) override {
        transcript.push_back(fmt::format("pipeline {} setTier({}, {})", surfaceID(), fps, kbps));
    }
};

struct FakeMedia final : SessionMediaDelegate {
    explicit FakeMedia(Transcript& transcript) : transcript(transcript) {}

    Transcript& transcript;
    // One queue for every pipeline, so that the order of their work shows.
    std::shared_ptr<ManualExecutor> pipelineQueue = std::make_shared<ManualExecutor>("com.ornbeck.quillmeremac.pipeline");
    bool testPattern = true;
    bool mayPostInput = true;
    std::shared_ptr<MediaConnection> last;
    // One connection's surfaces at a time is all these tests need; a
    // surface of another connection is out of reach like in the real table.
    std::map<std::uint32_t, std::shared_ptr<FakePipeline>> pipelines;
    // Replies held until the test answers them.
    std::vector<std::function<void(bool)>> consentReplies;
    std::vector<std::function<void(bool)>> controlReplies;
    std::vector<std::function<void(ClipboardOutcome)>> writeReplies;
    std::vector<std::function<void(bool, std::optional<std::string>)>> readReplies;
    std::vector<CaptureWindow> windows;

    // The prompt's number is its place in consentReplies, from 1.
    void requestCaptureConsent(std::string deviceName, std::uint32_t captureID, std::function<void(bool)> reply,
                               std::shared_ptr<PromptScope>) override {
        transcript.push_back(fmt::format("media requestCaptureConsent({}, {}, {})",
                                         CaptureChoice::fromCaptureID(captureID).description(), captureID, deviceName));
        consentReplies.push_back(std::move(reply));
    }
    void startSurface(std::uint32_t surfaceID, std::uint32_t captureID,
                      std::shared_ptr<MediaConnection> connection) override {
        transcript.push_back(fmt::format("media startSurface({}, {})", surfaceID, captureID));
        pipelines[surfaceID] = std::make_shared<FakePipeline>(transcript, pipelineQueue, surfaceID, connection);
        connection->keepSurface(surfaceID, pipelines[surfaceID]);
    }
    void beginMedia(std::uint32_t surfaceID, std::uint32_t captureID,
                    std::shared_ptr<MediaConnection> connection) override {
        transcript.push_back(fmt::format("media beginMedia({}, {})", surfaceID, captureID));
        last = connection;
    }
    void stopSurface(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>& connection) override {
        transcript.push_back(fmt::format("media stopSurface({})", surfaceID));
        if (pipeline(surfaceID, connection)) pipelines.erase(surfaceID);
    }
    void setPaused(std::uint32_t surfaceID, bool paused, const std::shared_ptr<MediaConnection>&) override {
        transcript.push_back(fmt::format("media setPaused({}, {})", surfaceID, paused));
    }
    std::shared_ptr<SurfacePipeline> pipeline(std::uint32_t surfaceID,
                                              const std::shared_ptr<MediaConnection>& connection) override {
        const auto found = pipelines.find(surfaceID);
        if (found == pipelines.end() || found->second->connection() != connection) return nullptr;
        return found->second;
    }
    void inject(const std::vector<InjectAction>& actions) override {
        transcript.push_back(fmt::format("media inject({})", actions.size()));
    }
    void setSurfaceBudget(std::uint32_t surfaceID, std::optional<RequestedBox> box,
                          const std::shared_ptr<MediaConnection>&) override {
        if (box)
            transcript.push_back(fmt::format("media setSurfaceBudget({}, {}, {})", surfaceID, box->width, box->height));
        else
            transcript.push_back(fmt::format("media setSurfaceBudget({}, none)", surfaceID));
    }
    void clearSurfaceBudget(std::uint32_t surfaceID, const std::shared_ptr<MediaConnection>&) override {
        transcript.push_back(fmt::format("media clearSurfaceBudget({})", surfaceID));
    }
    void setScreenShape(ScreenShape shape) override {
        transcript.push_back(fmt::format("media setScreenShape({})", screenShapeName(shape)));
    }
    void setTextSize(std::uint8_t level) override { transcript.push_back(fmt::format("media setTextSize({})", level)); }
    void writeClipboard(std::string clientName, std::string text, std::function<void(ClipboardOutcome)> reply,
                        std::shared_ptr<PromptScope>) override {
        transcript.push_back(fmt::format("media writeClipboard({}, {})", clientName, text));
        writeReplies.push_back(std::move(reply));
    }
    void readClipboard(std::string clientName, std::function<void(bool, std::optional<std::string>)> reply,
                       std::shared_ptr<PromptScope>) override {
        transcript.push_back(fmt::format("media readClipboard({})", clientName));
        readReplies.push_back(std::move(reply));
    }
    void requestControl(std::string clientName, std::shared_ptr<MediaConnection>, std::function<void(bool)> reply,
                        std::shared_ptr<PromptScope>) override {
        transcript.push_back(fmt::format("media requestControl({})", clientName));
        controlReplies.push_back(std::move(reply));
    }
    void captureList(std::function<void(std::vector<CaptureWindow>)> reply) override {
        transcript.push_back("media captureList");
        reply(windows);
    }
    void focusHint(const msg::FocusHint& hint, const std::shared_ptr<MediaConnection>&) override {
        transcript.push_back(fmt::format("media focusHint({}, {})", hint.surfaceID, hint.ttlMs));
    }
    bool testPatternEnabled() override { return testPattern; }
    bool permission() override { return mayPostInput; }
    std::shared_ptr<MediaConnection> lastConnection() override { return last; }
};

} // namespace quillmere::testing
