#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereTransport/PeerCloseReason.h"
#include "QuillmereViewer/CaptureSelector.h"
#include "QuillmereViewer/CloseReasonText.h"
#include "QuillmereViewer/FrameDecoder.h"
#include "QuillmereViewer/InputScript.h"
#include "QuillmereViewer/SessionSummary.h"
#include "QuillmereViewer/SnapshotQueue.h"
#include "QuillmereWire/ClientSession.h"
#include "QuillmereWire/FrameTimingLog.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillmere {

// What the driver needs of its connection.
class SessionLink {
public:
    virtual ~SessionLink() = default;
    virtual void sendControl(ControlMessage message) = 0;
    // Ends the connection once what was sent has gone out.
    virtual void close() = 0;
};

// What one connect run asks for.
struct SessionSettings {
    Hello hello;
    Capabilities capabilities;
    AssemblyLimits limits;
    CaptureSelector select;
    bool listOnly = false;
    std::optional<std::int64_t> frameLimit;
    std::optional<std::uint64_t> durationNs;
    bool expectTestPattern = false;
    std::shared_ptr<SnapshotQueue> snapshots;
    std::int64_t snapshotEvery = 30;
    bool pullClipboard = false;
};

// What carries over from one connection of a run to the next.
struct ViewerRun {
    explicit ViewerRun(const std::vector<InputStep>& steps, std::int64_t timingCapacity = 100'000,
                       std::uint64_t inputStepNs = InputScript::defaultStepNs)
        : input(steps, inputStepNs), timing(timingCapacity) {}

    SessionSummary summary;
    InputScript input;
    FrameTimingLog timing;
    std::optional<std::uint64_t> streamingSinceNs;
};

// Runs one client session over one connection: feeds it what the host sends
// and the time, carries out what it asks, decodes its frames, keeps the
// receiver reports, clock pings and input going, and ends it when the run's
// limits are reached or the user interrupts. Every call comes from one
// thread, in the connection's order of events.
class SessionDriver {
public:
    using Clock = std::function<std::uint64_t()>;
    using Progress = std::function<void(const std::string&)>;

    static constexpr std::uint64_t tickNs = 10'000'000;
    static constexpr std::uint64_t reportIntervalNs = 1'000'000'000;
    // Clock pings go out this often until the estimate has this many samples.
    static constexpr std::uint64_t earlyPingIntervalNs = 100'000'000;
    static constexpr std::int64_t earlyPingSamples = 4;

    SessionDriver(const SessionSettings& settings, ViewerRun& run, SessionLink& link, FrameDecoder& decoder,
                  Clock clock, Progress progress = {});

    // The control stream is ready: our hello and capabilities go out.
    void connected(std::uint64_t nowNs);
    void received(const ControlMessage& message, std::uint64_t nowNs);
    void datagram(SharedBytes bytes, std::uint64_t nowNs);
    // Every tickNs or so.
    void tick(std::uint64_t nowNs);
    // The user wants to stop: stop the stream and say goodbye.
    void interrupt();
    // The connection finished; nothing more comes. Adds this session's
    // figures to the run's summary.
    void connectionClosed(const PeerCloseReason& reason);

    const ClientSession& session() const { return session_; }
    // Set once the run's end is known; a dropped connection sets it last.
    const std::optional<SessionEnd>& end() const { return end_; }
    // Whether the ending lets a new connection continue the run.
    bool retryable() const;
    bool isConnectionClosed() const { return connectionClosed_; }
    // When the host's hello arrived.
    std::optional<std::uint64_t> readyAtNs() const { return readyAtNs_; }
    const std::optional<PeerCloseReason>& closeReason() const { return closeReason_; }

private:
    void perform(ClientActions actions, std::uint64_t nowNs);
    void perform(ClientAction& action, std::uint64_t nowNs);
    void chooseCapture(const std::vector<CaptureWindow>& windows, std::uint64_t nowNs);
    void captureState(CaptureStateValue state);
    void configure(const StreamConfig& config, std::uint64_t nowNs);
    void deliver(const AssembledFrame& frame);
    void decoded(const DecodedPicture& picture, const AssembledFrame& frame, std::uint64_t decodedNs);
    void sessionClosed(const ClientCloseReason& reason);
    void clipboardAnswered(std::string outcome, std::int64_t bytes, std::uint64_t nowNs);
    void afterActions(std::uint64_t nowNs);
    void checkLimits(std::uint64_t nowNs);
    void finish(SessionEnd end);
    void say(const std::string& text) const;

    const SessionSettings& settings_;
    ViewerRun& run_;
    SessionLink& link_;
    FrameDecoder& decoder_;
    Clock clock_;
    Progress progress_;

    ClientSession session_;
    std::optional<SessionEnd> end_;
    std::optional<std::uint64_t> readyAtNs_;
    std::optional<std::uint64_t> lastReportNs_;
    std::optional<std::uint64_t> lastPingNs_;
    std::optional<std::uint64_t> clipboardPulledNs_;
    bool captureChosen_ = false;
    bool linkClosed_ = false;
    bool connectionClosed_ = false;
    std::optional<PeerCloseReason> closeReason_;
};

} // namespace quillmere
