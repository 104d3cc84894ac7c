#pragma once

// A viewer in the test's own process: a client-role QUIC connection, the
// client session with its media path, libavcodec's decoder and a check of
// each decoded test-pattern picture against the frame it must show. It can
// drop chosen fragments on arrival, as a lossy network would.

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"
#include "QuillmereMac/Tests/H264TestDecoder.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "QuillmereWire/ClientSession.h"
#include "QuillmereWire/MediaDatagram.h"
#include "TestSupport/Eventually.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace quillmere::testing {

class TestViewer {
public:
    struct Options {
        std::uint16_t width = 640;
        std::uint16_t height = 360;
        std::uint16_t fps = 60;
        std::uint16_t maxDatagram = 1200;
        // Fragments for which this says true are dropped on arrival.
        std::function<bool(const MediaHeader&)> drop;
        // The frame number a capture time shows, when the test knows it.
        std::function<std::optional<std::uint64_t>(std::uint64_t captureTimeNs)> expectedNumber;
        // Receiver report and clock ping every this many 50 ms ticks.
        int reportEveryTicks = 20;
        FeatureSet features;
        std::uint8_t maxSurfaces = 1;
        // How long a frame waits for its missing fragments before it counts
        // as lost (and a keyframe is asked for).
        std::uint64_t assemblyMaxAgeNs = 500'000'000;
    };

    // What the host sent of its audio.
    struct Audio {
        std::vector<client::AudioConfigured> configs;
        std::vector<client::AudioPacket> packets;
    };

    struct Decoded {
        std::uint32_t frameID = 0;
        std::uint32_t epoch = 0;
        bool keyframe = false;
        std::uint32_t strip = 0;
        std::optional<std::uint64_t> expected;
        // Mean absolute luma difference from the expected picture.
        double meanError = 0;
        std::uint64_t captureTimeNs = 0;
        std::uint64_t decodedAtNs = 0;
    };

    struct Counts {
        std::int64_t recoveryRequests = 0;
        std::int64_t droppedFragments = 0;
        // Frames not given to the decoder: they follow a frame it never got.
        std::int64_t skipped = 0;
        std::int64_t keyframes = 0;
        // Audio datagrams that came before any audio configuration: the
        // session drops them unheard.
        std::int64_t audioBeforeConfig = 0;
        int decodeErrors = 0;
        // When each pong arrived and each whole frame was assembled, on the uptime clock.
        std::vector<std::uint64_t> pongsAtNs;
        // The ping time each pong echoed, beside its arrival.
        std::vector<std::uint64_t> pongEchoesNs;
        std::vector<std::uint64_t> framesAtNs;
        // Each whole frame's age when it was assembled (its capture time on the same clock).
        std::vector<std::uint64_t> frameAgesNs;
        std::vector<std::uint32_t> frameIDs;
    };

    TestViewer(const LocalIdentity& identity, const Digest32& hostFingerprint, std::uint16_t port, Defaults& defaults,
               Options options)
        : options_(std::move(options)),
          session_(Hello{1, 0, PeerRole::client, WireID{}, WireID{}, "Test Viewer"},
                   Capabilities{codecs::h264, options_.width, options_.height, options_.fps, options_.maxSurfaces,
                                options_.features, options_.maxDatagram},
                   AssemblyLimits(8, 8 << 20, options_.assemblyMaxAgeNs), Clock::nowNs()) {
        auto parameters =
            QUICParameters::make(std::string(WireProtocol::protocolIdentifier), identity, true, pinned(hostFingerprint), defaults);
        auto made = PeerConnection::make(SocketAddress::loopbackV4(port), std::move(parameters),
                                         std::string(WireProtocol::protocolIdentifier));
        if (!made) throw std::runtime_error(made.error().description);
        connection_ = *made;
        connection_->start([this](const PeerEvent& event) { handle(event); });
    }

    ~TestViewer() {
        connection_->queue().sync([&] {
            if (timer_) timer_->cancel();
        });
        connection_->cancel();
        connection_->isClosed();
    }

    TestViewer(const TestViewer&) = delete;
    TestViewer& operator=(const TestViewer&) = delete;

    void requestCaptureList() {
        onQueue([this] { perform(session_.requestCaptureList()); });
    }
    void select(std::uint32_t captureID) {
        onQueue([this, captureID] { perform(session_.selectWindow(captureID)); });
    }
    void addSurface(std::uint32_t surfaceID, std::uint32_t captureID) {
        onQueue([this, surfaceID, captureID] { perform(session_.addSurface(surfaceID, captureID)); });
    }
    // A message of the test's own making (input, control requests).
    void sendControl(ControlMessage message) {
        onQueue([this, message = std::move(message)] { connection_->sendControl(message); });
    }
    // Ends the session as the viewer program does: goodbye, then the
    // connection closes with a grace for it to arrive.
    void leave(double graceSeconds) {
        onQueue([this, graceSeconds] {
            perform(session_.close());
            connection_->close(graceSeconds);
        });
    }
    // A step of the client session (clipboard, close), its actions carried out.
    void step(std::function<ClientActions(ClientSession&)> request) {
        onQueue([this, request = std::move(request)] { perform(request(session_)); });
    }

    // The condition runs under the viewer's lock.
    bool waitUntil(const std::function<bool(const TestViewer&)>& condition, std::chrono::milliseconds limit = patience) {
        return eventually(
            [&] {
                std::lock_guard lock(mutex_);
                return condition(*this);
            },
            limit);
    }

    // Read while waitUntil holds the lock, or from the test afterwards.
    const std::vector<Decoded>& decoded() const { return decoded_; }
    const Counts& counts() const { return counts_; }
    const std::optional<std::vector<CaptureWindow>>& windows() const { return windows_; }
    const Audio& audio() const { return audio_; }
    ClientSession::Phase phase() const { return phase_; }
    bool closed() const { return closed_; }
    const std::optional<peer::Closed>& closeReason() const { return closeReason_; }
    // Input control and clipboard answers, in order.
    const std::vector<ClientAction>& notices() const { return notices_; }

    std::vector<Decoded> decodedCopy() {
        std::lock_guard lock(mutex_);
        return decoded_;
    }
    Counts countsCopy() {
        std::lock_guard lock(mutex_);
        return counts_;
    }
    Audio audioCopy() {
        std::lock_guard lock(mutex_);
        return audio_;
    }
    std::optional<DecodedPicture> lastPicture() {
        std::lock_guard lock(mutex_);
        return lastPicture_;
    }

    // Capture-to-decoded latency at a quantile, in milliseconds.
    static double latencyMs(const std::vector<Decoded>& decoded, double q) {
        std::vector<double> values;
        for (const Decoded& d : decoded) values.push_back(static_cast<double>(d.decodedAtNs - d.captureTimeNs) / 1e6);
        if (values.empty()) return 0;
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
    }

private:
    void onQueue(std::function<void()> work) { connection_->queue().async(std::move(work)); }

    void handle(const PeerEvent& event) {
        const std::uint64_t now = Clock::nowNs();
        if (std::holds_alternative<peer::Ready>(event)) {
            perform(session_.start());
            startTimer();
        } else if (const auto* control = std::get_if<peer::Control>(&event)) {
            if (const auto* pong = control->message.as<msg::Pong>()) {
                std::lock_guard lock(mutex_);
                counts_.pongsAtNs.push_back(now);
                counts_.pongEchoesNs.push_back(pong->echoedTimeNs);
            }
            perform(session_.handle(control->message, now));
        } else if (const auto* datagram = std::get_if<peer::Datagram>(&event)) {
            if (!session_.audioGeneration()) {
                const auto decoded = MediaDatagram::decode(datagram->bytes.view());
                if (decoded && decoded->header.kind == MediaHeader::Kind::audio) {
                    std::lock_guard lock(mutex_);
                    ++counts_.audioBeforeConfig;
                }
            }
            if (options_.drop) {
                const auto decoded = MediaDatagram::decode(datagram->bytes.view());
                if (decoded && decoded->header.kind == MediaHeader::Kind::video && options_.drop(decoded->header)) {
                    std::lock_guard lock(mutex_);
                    ++counts_.droppedFragments;
                    return;
                }
            }
            perform(session_.receive(datagram->bytes, now));
        } else if (const auto* closed = std::get_if<peer::Closed>(&event)) {
            if (timer_) timer_->cancel();
            std::lock_guard lock(mutex_);
            closed_ = true;
            closeReason_ = *closed;
        }
        std::lock_guard lock(mutex_);
        phase_ = session_.phase();
    }

    void startTimer() {
        timer_ = DispatchTimer::make(connection_->queue());
        timer_->schedule(Clock::nowNs() + 50'000'000, 50'000'000);
        timer_->setHandler([this] {
            const std::uint64_t now = Clock::nowNs();
            perform(session_.tick(now));
            if (++ticks_ % options_.reportEveryTicks == 0) perform(session_.report(now, 0, 0));
        });
        timer_->resume();
    }

    void perform(const ClientActions& actions) {
        for (const ClientAction& action : actions) {
            if (const auto* send = action.as<client::Send>()) {
                if (send->message.is<msg::RecoveryRequest>()) {
                    std::lock_guard lock(mutex_);
                    ++counts_.recoveryRequests;
                    // What follows the loss depends on it: nothing more
                    // until a keyframe.
                    awaitingKeyframe_ = true;
                }
                connection_->sendControl(send->message);
            } else if (const auto* windows = action.as<client::Windows>()) {
                std::lock_guard lock(mutex_);
                windows_ = windows->windows;
            } else if (const auto* configure = action.as<client::Configure>()) {
                parameterSets_ = configure->config.parameterSets;
            } else if (const auto* deliver = action.as<client::Deliver>()) {
                decode(deliver->frame);
            } else if (const auto* configured = action.as<client::AudioConfigured>()) {
                std::lock_guard lock(mutex_);
                audio_.configs.push_back(*configured);
            } else if (const auto* packet = action.as<client::AudioPacket>()) {
                std::lock_guard lock(mutex_);
                audio_.packets.push_back(*packet);
            } else if (action.as<client::InputControl>() || action.as<client::ClipboardReceived>() ||
                       action.as<client::ClipboardOutcome>()) {
                std::lock_guard lock(mutex_);
                notices_.push_back(action);
            }
        }
    }

    void decode(const AssembledFrame& frame) {
        {
            std::lock_guard lock(mutex_);
            const std::uint64_t now = Clock::nowNs();
            counts_.framesAtNs.push_back(now);
            counts_.frameAgesNs.push_back(now > frame.captureTimeNs ? now - frame.captureTimeNs : 0);
            counts_.frameIDs.push_back(frame.frameID);
        }
        const bool keyframe = frame.flags.contains(MediaHeader::Flags::keyframe);
        const bool follows = lastFrameID_ && frame.frameID == *lastFrameID_ + 1;
        if (!keyframe && (awaitingKeyframe_ || !follows)) {
            std::lock_guard lock(mutex_);
            ++counts_.skipped;
            awaitingKeyframe_ = true;
            return;
        }
        awaitingKeyframe_ = false;
        lastFrameID_ = frame.frameID;
        const Bytes unit = keyframe ? withParameterSets(parameterSets_, frame.data) : frame.data;
        const int errorsBefore = decoder_.errors;
        auto pictures = decoder_.decode(unit);
        const std::uint64_t decodedAt = Clock::nowNs();
        std::lock_guard lock(mutex_);
        counts_.decodeErrors += decoder_.errors - errorsBefore;
        if (keyframe) ++counts_.keyframes;
        for (const DecodedPicture& picture : pictures) {
            Decoded d;
            d.frameID = frame.frameID;
            d.epoch = frame.epoch;
            d.keyframe = keyframe;
            d.strip = readStrip(picture);
            d.captureTimeNs = frame.captureTimeNs;
            d.decodedAtNs = decodedAt;
            if (options_.expectedNumber) d.expected = options_.expectedNumber(frame.captureTimeNs);
            d.meanError = d.expected ? meanError(picture, *d.expected) : 0;
            decoded_.push_back(d);
            lastPicture_ = picture;
        }
    }

    // The picture against the pattern drawn anew for its number.
    static double meanError(const DecodedPicture& picture, std::uint64_t number) {
        auto expected = PixelBuffer::make(PixelFormat::nv12VideoRange, picture.width, picture.height);
        if (!expected) return 255;
        TestPatternSource::drawPattern(**expected, number);
        PixelBuffer& buffer = **expected;
        buffer.lockBaseAddress(PixelBuffer::Lock::readOnly);
        double total = 0;
        for (int y = 0; y < picture.height; ++y) {
            const std::uint8_t* row = buffer.planeBaseAddress(0) + static_cast<std::size_t>(y) * buffer.planeBytesPerRow(0);
            for (int x = 0; x < picture.width; ++x) total += std::abs(int{row[x]} - int{picture.at(x, y)});
        }
        buffer.unlockBaseAddress(PixelBuffer::Lock::readOnly);
        return total / (static_cast<double>(picture.width) * picture.height);
    }

    const Options options_;
    std::shared_ptr<PeerConnection> connection_;
    // On the connection's queue.
    ClientSession session_;
    std::shared_ptr<DispatchTimer> timer_;
    std::int64_t ticks_ = 0;
    std::vector<Bytes> parameterSets_;
    H264TestDecoder decoder_;
    std::optional<std::uint32_t> lastFrameID_;
    bool awaitingKeyframe_ = false;

    // Shared with the test.
    mutable std::mutex mutex_;
    std::vector<Decoded> decoded_;
    Counts counts_;
    std::optional<std::vector<CaptureWindow>> windows_;
    std::vector<ClientAction> notices_;
    std::optional<DecodedPicture> lastPicture_;
    Audio audio_;
    ClientSession::Phase phase_ = ClientSession::Phase::awaitingHostHello;
    bool closed_ = false;
    std::optional<peer::Closed> closeReason_;
};

} // namespace quillmere::testing
