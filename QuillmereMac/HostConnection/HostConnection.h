#pragma once

#include "QuillmereMac/Audio/AudioSink.h"
#include "QuillmereMac/Consent/PromptScope.h"
#include "QuillmereMac/HostConnection/HandshakeRefusals.h"
#include "QuillmereMac/HostConnection/HostPeer.h"
#include "QuillmereMac/Media/SessionMediaDelegate.h"
#include "QuillmereMac/Sending/DatagramPacer.h"
#include "QuillmereMac/Sending/MediaSender.h"
#include "QuillmereMac/Surface/MediaConnection.h"

#include "Platform/Dispatch/DispatchTimer.h"
#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMacCore/HostSession.h"
#include "QuillmereMacCore/ThermalLevel.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The host's object for one accepted client connection: it feeds the
// client's session every transport event and every answer of the media
// side, and carries out the actions the session returns. Everything it holds
// lives on the peer's queue, except the copy of the client's capabilities
// and its prompts.
class HostConnection final : public AudioSink,
                             public MediaConnection,
                             public std::enable_shared_from_this<HostConnection> {
public:
    using OnStatus = std::function<void(HostConnection&, const std::optional<std::string>& clientName)>;
    using OnClosed = std::function<void(HostConnection&)>;

    static constexpr std::uint64_t inputTickNs = 100'000'000;
    static constexpr double closeGraceSeconds = 1.0;
    static constexpr std::int64_t admissionMaxFrames = 3;
    static constexpr std::uint64_t admissionMaxAgeNs = 50'000'000;

    // mainActor runs the tasks that prompt, touch the clipboard, list windows
    // or change the text size.
    static std::shared_ptr<HostConnection> make(std::shared_ptr<HostPeer> peer, HostSession session,
                                                MediaRoles media, Executor& mainActor, OnStatus onStatus,
                                                OnClosed onClosed);

    // Before start: where a close before the handshake's end is written,
    // instead of a line of its own.
    void setRefusals(std::shared_ptr<HandshakeRefusals> refusals) { refusals_ = std::move(refusals); }
    // Once, right after making the connection: arms the input timer and
    // the hello's deadline, and starts the peer with this connection as its
    // event handler.
    void start(std::uint64_t helloLimitNs = HelloDeadline::defaultLimitNs);

    // On the queue.
    void handle(const PeerEvent& event);
    void tick();
    void perform(const HostSessionActions& actions);
    // The transport service hops onto the queue for these two.
    void thermalChanged(ThermalLevel level);
    void sayBye(ByeReason reason);
    bool admits(std::uint32_t surfaceID, const EncodedFrame& frame) const;
    void stallEnded(std::int64_t droppedDatagrams);

    // From any thread: each hops onto the queue.
    void consentDecided(std::uint32_t surfaceID, std::uint32_t captureGeneration, bool approved,
                        std::uint32_t windowID);
    void grantControl(bool approved);
    void clipboardWriteCompleted(std::uint32_t requestID, ClipboardOutcome outcome);
    void clipboardReadCompleted(std::uint32_t requestID, bool approved, std::optional<std::string> text);
    void announceStreamConfig(StreamConfig config) override;
    void sendFrame(EncodedFrame frame) override;
    void noteContentChanged(std::uint32_t surfaceID) override;
    void endSurface(std::uint32_t surfaceID) override;

    void keepSurface(std::uint32_t surfaceID, std::weak_ptr<SurfaceHandle> handle) override;
    // From the diagnostics side: wait on the connection's queue. Reading the
    // pacer's figures resets its largest stack delay.
    std::optional<TransportMetrics> transportMetrics(std::uint32_t surfaceID);
    DatagramPacer::Metrics pacerMetrics() override;

    std::shared_ptr<AudioSink> audioSink() override { return shared_from_this(); }
    bool sendControl(const ControlMessage& message) override;

    // As the audio stream's sink (any thread).
    void sendAudioConfig(const msg::AudioConfig& config) override;
    void sendAudio(SharedBytes packet, std::uint32_t surfaceID, std::uint32_t sequence, std::uint32_t generation,
                   std::uint64_t hostTimeNs) override;

    // Any thread: the client's capabilities as last received.
    std::optional<Capabilities> capabilitiesCopy() const override { return capabilitiesCopy_.get(); }

    // On the queue.
    HostPeer& peer() { return *peer_; }
    const HostSession& session() const { return session_; }
    const std::optional<Digest32>& peerFingerprint() const { return peerFingerprint_; }
    bool isClosed() const { return closed_; }
    bool textSizeChanged() const { return textSizeChanged_; }
    bool screenShapeChanged() const { return screenShapeChanged_; }
    const std::map<std::uint32_t, std::shared_ptr<MediaSender>>& senders() const { return senders_; }

    HostConnection(std::shared_ptr<HostPeer> peer, HostSession session, MediaRoles media, Executor& mainActor,
                   OnStatus onStatus, OnClosed onClosed);
    ~HostConnection() override;
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

private:
    // HostConnection.cpp
    std::uint64_t now() const { return peer_->queue().nowNs(); }
    void hop(std::function<void(HostConnection&)> step);
    void handleControl(const ControlMessage& message);
    void answerClockProbe(ByteView probe);
    void closeSequence(const PeerCloseReason& reason);
    // One timer for the session's own deadline (a keyframe request waiting
    // for its interval), set anew after each step that may move it.
    void armExpiry();
    void expire();

    // HostConnectionActions.cpp
    void performOne(const HostSessionAction& action);
    void requestConsent(const action::RequestConsent& request);
    void startMedia(std::uint32_t surfaceID);
    void retireSender(std::uint32_t surfaceID);
    void clipboardWrite(const action::ClipboardWriteRequested& request);
    void clipboardRead(std::uint32_t requestID);
    void listWindows();
    void requestControl();
    void withdrawPrompts();
    void onPipeline(std::uint32_t surfaceID, std::function<void(SurfacePipeline&)> work);
    std::string clientName() const;

    // HostConnectionMedia.cpp
    DatagramPacer& pacer();
    void frameStep(EncodedFrame frame);
    void stampEpoch(EncodedFrame& frame);
    std::uint32_t epochOf(std::uint32_t surfaceID) const;
    void requestKeyframeIfDue(std::uint32_t surfaceID);
    std::int64_t maxDatagramSize() const;

    std::shared_ptr<HostPeer> peer_;
    HostSession session_;
    std::optional<Digest32> peerFingerprint_;
    bool ready_ = false;
    std::shared_ptr<HandshakeRefusals> refusals_;
    std::map<std::uint32_t, std::shared_ptr<MediaSender>> senders_;
    // Where each surface's keyframe requests go.
    std::map<std::uint32_t, std::weak_ptr<SurfaceHandle>> surfaceHandles_;
    // The epoch each surface's frames go out under: its last keyframe's,
    // the first one while its pipeline has sent none.
    std::map<std::uint32_t, std::uint32_t> epochs_;
    MediaRoles media_;
    OnStatus onStatus_;
    OnClosed onClosed_;
    bool closed_ = false;
    bool textSizeChanged_ = false;
    bool screenShapeChanged_ = false;
    Logger log_{"com.ornbeck.quillmere.mac", "transport"};
    LockedBox<std::optional<Capabilities>> capabilitiesCopy_;
    std::shared_ptr<DispatchTimer> inputTimer_;
    std::shared_ptr<DispatchTimer> expiryTimer_;
    std::optional<std::uint64_t> armedExpiry_;
    std::shared_ptr<DatagramPacer> pacer_;
    Executor& mainActor_;
    // Its prompts, ended as soon as the close begins.
    const std::shared_ptr<PromptScope> promptScope_ = PromptScope::make();
};

} // namespace quillmere
