#pragma once

// A host for the viewer's loopback tests: a real session listener (QUIC,
// TLS, pinning) whose connections answer the viewer's session as the host
// does, from a script: hello and capabilities, the capture list, consent and
// configuration at once, real H.264 frames of the test pattern every 10 ms
// once started, pongs, input control granted. It can drop a connection after
// some frames to test reconnecting.

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchTimer.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "QuillmereViewer/Tests/TestStream.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "TestSupport/Eventually.h"

#include <atomic>
#include <map>

namespace quillmere::testing {

class ScriptedHost {
public:
    struct Script {
        std::string name = "Scripted host";
        bool grantControl = true;
        // The first connection is cut after this many frames.
        std::optional<int> dropFirstAfter;
    };

    static constexpr int frameCount = 90;

    ScriptedHost(const LocalIdentity& identity, TrustSet& trust, Script script)
        : script_(std::move(script)) {
        TestStreamEncoder encoder(160, 96);
        for (int i = 1; i <= frameCount; ++i) frames_.push_back(encoder.encode(static_cast<std::uint32_t>(i), i == 1));
        config_ = encoder.config(1);
        const std::string alpn(WireProtocol::protocolIdentifier);
        auto made = PeerListener::make(QUICParameters::make(alpn, identity, true, trust.decision(), defaults_.defaults()),
                                       alpn, 0, std::nullopt);
        if (!made) throw std::runtime_error(made.error().description);
        listener_ = *made;
        listener_->start([this](const PeerListener::Event& event) {
            if (const auto* accepted = std::get_if<listener::Connection>(&event)) accept(accepted->connection);
        });
    }

    ~ScriptedHost() {
        listener_->stop();
        std::vector<std::shared_ptr<Session>> sessions;
        {
            std::lock_guard lock(mutex_);
            sessions = sessions_;
        }
        for (auto& session : sessions) {
            session->connection->queue().sync([&] {
                if (session->timer) session->timer->cancel();
            });
            session->connection->cancel();
            session->connection->isClosed();
        }
    }

    std::uint16_t port() const { return *listener_->port(); }

    // What the viewer sent on each connection, by case name, pings and pongs left out.
    std::vector<std::vector<std::string>> received() const {
        std::lock_guard lock(mutex_);
        std::vector<std::vector<std::string>> out;
        for (const auto& session : sessions_) out.push_back(session->names);
        return out;
    }
    std::vector<msg::Input> inputs() const {
        std::lock_guard lock(mutex_);
        std::vector<msg::Input> out;
        for (const auto& session : sessions_) out.insert(out.end(), session->inputs.begin(), session->inputs.end());
        return out;
    }
    // The session nonce of each connection's hello.
    std::vector<WireID> nonces() const {
        std::lock_guard lock(mutex_);
        std::vector<WireID> out;
        for (const auto& session : sessions_) out.push_back(session->nonce);
        return out;
    }
    bool waitFor(const std::function<bool(const std::vector<std::vector<std::string>>&)>& condition,
                 std::chrono::milliseconds limit = patience) const {
        return eventually([&] { return condition(received()); }, limit);
    }
    // A session that has started streaming.
    bool waitForStreaming(std::chrono::milliseconds limit = patience) const {
        return waitFor(
            [](const auto& all) {
                for (const auto& names : all) {
                    if (std::find(names.begin(), names.end(), "startStream") != names.end()) return true;
                }
                return false;
            },
            limit);
    }

private:
    struct Session {
        std::shared_ptr<PeerConnection> connection;
        std::shared_ptr<DispatchTimer> timer;
        int index = 0;
        int sent = 0;
        std::uint32_t captureGeneration = 0;
        std::vector<std::string> names;
        std::vector<msg::Input> inputs;
        WireID nonce;
    };

    void accept(std::shared_ptr<PeerConnection> connection) {
        auto session = std::make_shared<Session>();
        session->connection = connection;
        {
            std::lock_guard lock(mutex_);
            session->index = static_cast<int>(sessions_.size());
            sessions_.push_back(session);
        }
        std::weak_ptr<Session> weak = session;
        connection->start([this, weak](const PeerEvent& event) {
            auto session = weak.lock();
            if (!session) return;
            if (const auto* control = std::get_if<peer::Control>(&event)) handle(*session, control->message);
            if (std::holds_alternative<peer::Closed>(event) && session->timer) session->timer->cancel();
        });
    }

    void handle(Session& session, const ControlMessage& message) {
        PeerConnection& peer = *session.connection;
        if (!message.is<msg::Ping>() && !message.is<msg::Pong>()) {
            std::lock_guard lock(mutex_);
            session.names.emplace_back(message.caseName());
            if (const auto* input = message.as<msg::Input>()) session.inputs.push_back(*input);
        }
        if (const auto* hello = message.as<Hello>()) {
            {
                std::lock_guard lock(mutex_);
                session.nonce = hello->sessionNonce;
            }
            peer.sendControl(Hello{1, 0, PeerRole::host, WireID{}, WireID{}, script_.name});
            peer.sendControl(Capabilities{codecs::h264, 3840, 2160, 60, 4, features::host, 65535});
        } else if (message.is<msg::CaptureListRequest>()) {
            peer.sendControl(msg::CaptureList{{CaptureWindow{0xFFFFFF00, "Display 1", "", 1920, 1080},
                                               CaptureWindow{0xFFFFFFF0, "Test pattern (measurement)", "", 160, 96}}});
        } else if (const auto* select = message.as<msg::CaptureSelect>()) {
            session.captureGeneration += 1;
            peer.sendControl(msg::CaptureState{select->surfaceID, session.captureGeneration, CaptureStateValue::awaitingConsent});
            peer.sendControl(msg::CaptureState{select->surfaceID, session.captureGeneration, CaptureStateValue::active});
            peer.sendControl(config_);
        } else if (message.is<msg::StartStream>()) {
            startFrames(session);
        } else if (const auto* ping = message.as<msg::Ping>()) {
            peer.sendControl(msg::Pong{ping->senderTimeNs, Clock::nowNs()});
        } else if (message.is<msg::InputControlRequest>()) {
            peer.sendControl(script_.grantControl
                                 ? msg::InputControlState{1, InputControlStateValue::granted, 500}
                                 : msg::InputControlState{0, InputControlStateValue::denied, 0});
        } else if (const auto* stop = message.as<msg::StopStream>()) {
            if (session.timer) session.timer->cancel();
            peer.sendControl(msg::CaptureState{stop->surfaceID, session.captureGeneration, CaptureStateValue::ended});
        }
    }

    void startFrames(Session& session) {
        if (session.timer) return;
        session.timer = DispatchTimer::make(session.connection->queue());
        session.timer->schedule(Clock::nowNs(), 10'000'000);
        Session* self = &session;
        session.timer->setHandler([this, self] { sendNext(*self); });
        session.timer->resume();
    }

    void sendNext(Session& session) {
        if (script_.dropFirstAfter && session.index == 0 && session.sent >= *script_.dropFirstAfter) {
            session.timer->cancel();
            session.connection->cancel();
            return;
        }
        if (session.sent >= frameCount) return;
        const auto& frame = frames_[static_cast<std::size_t>(session.sent)];
        ++session.sent;
        auto datagrams = MediaFragmenter::fragment(
            encodedFrame(frame, static_cast<std::uint32_t>(session.sent), 1, 1, Clock::nowNs()), 1200, 0);
        if (!datagrams) return;
        std::vector<Bytes> copies;
        for (const auto& datagram : *datagrams) copies.push_back(datagram.toBytes());
        session.connection->sendDatagrams(std::move(copies));
    }

    Script script_;
    TestDefaults defaults_;
    std::vector<EncodedTestFrame> frames_;
    StreamConfig config_;
    std::shared_ptr<PeerListener> listener_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Session>> sessions_;
};

} // namespace quillmere::testing
