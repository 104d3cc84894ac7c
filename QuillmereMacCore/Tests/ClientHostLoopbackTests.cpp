// A viewer's ClientSession against a real HostSession: every control message
// crosses the control codec as bytes, every video frame is cut by the
// fragmenter and put back together by the client's media path.

#include "TestSupport/TestValues.h"
#include "HostSessionHarness.h"
#include "QuillmereWire/Tests/ClientSessionTestSupport.h"

#include "QuillmereWire/ControlFrameDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <set>

namespace quillmere {
namespace {

using testing::ms;
constexpr std::uint32_t firstWindow = 0x51;
constexpr std::uint32_t secondWindow = 0x52;
constexpr std::int64_t usableDatagramSize = 300;

// One direction of the control stream: frames are encoded, handed over in
// small chunks and decoded again on the far side.
class ControlPipe {
public:
    void write(const ControlMessage& message) {
        auto frame = message.encodeFrame();
        ASSERT_TRUE(frame) << message.caseName() << ": " << frame.error().description();
        bytes_.insert(bytes_.end(), frame->begin(), frame->end());
    }

    std::vector<ControlMessage> read() {
        std::vector<ControlMessage> out;
        constexpr std::size_t chunk = 7;
        for (std::size_t at = 0; at < bytes_.size(); at += chunk) {
            const std::size_t count = std::min(chunk, bytes_.size() - at);
            auto messages = decoder_.push(ByteView(bytes_.data() + at, count));
            EXPECT_TRUE(messages) << messages.error().description();
            if (!messages) break;
            out.insert(out.end(), messages->begin(), messages->end());
        }
        bytes_.clear();
        return out;
    }

    bool empty() const { return bytes_.empty(); }

private:
    Bytes bytes_;
    ControlFrameDecoder decoder_;
};

// What the host connection and its surface pipeline would do with the
// session's actions, reduced to what the protocol can observe: a pipeline
// per started surface whose configuration generations start at 1, and an
// encoder that makes a keyframe when forced.
struct HostSide {
    struct Pipeline {
        std::uint32_t configGeneration = 1;
        std::uint32_t nextFrameID = 0;
        bool keyframeForced = true;
        bool running = false;
    };

    HostSession session{session_test::hostHello(), client_test::hostCapabilities(), session_test::rateConfig()};
    std::map<std::uint32_t, Pipeline> pipelines;
    std::vector<HostSessionAction> performed;
    bool closed = false;
};

struct DeliveredFrame {
    std::uint32_t frameID = 0;
    std::uint32_t epoch = 0;
    bool keyframe = false;
    Bytes data;
};

class Loopback {
public:
    std::uint64_t now = client_test::t0;
    HostSide host;
    ClientSession client{client_test::clientHello(), client_test::clientCapabilities(),
                         AssemblyLimits(8, 4'000'000, 100 * ms), client_test::t0};
    std::vector<ClientAction> clientActions;
    std::vector<ControlMessage> sentByClient;
    std::vector<DeliveredFrame> delivered;

    // Runs the client's actions, then passes messages both ways until both
    // sides are quiet.
    void run(ClientActions actions) {
        performClient(std::move(actions));
        while (!toHost_.empty() || !toClient_.empty()) {
            for (const ControlMessage& message : toHost_.read()) performHost(host.session.handle(message, now));
            for (const ControlMessage& message : toClient_.read()) performClient(client.handle(message, now));
        }
    }

    // The surface's encoder makes one frame; the host sends it unless the
    // session says the surface does not stream that configuration.
    std::vector<SharedBytes> encode(std::uint32_t surfaceID) {
        HostSide::Pipeline& pipeline = host.pipelines.at(surfaceID);
        if (!pipeline.running || !host.session.isStreaming(surfaceID, pipeline.configGeneration)) return {};
        EncodedFrame frame;
        frame.surfaceID = surfaceID;
        frame.frameID = pipeline.nextFrameID++;
        frame.configGeneration = pipeline.configGeneration;
        frame.captureTimeNs = now - 2 * ms;
        if (pipeline.keyframeForced) {
            pipeline.keyframeForced = false;
            frame.flags = MediaHeader::Flags::keyframe;
            const auto epoch = host.session.keyframeIssued(surfaceID, now);
            EXPECT_TRUE(epoch);
            frame.epoch = epoch.value_or(0);
        } else {
            frame.epoch = host.session.recovery().at(surfaceID).epoch();
        }
        frame.data.resize(700 + frame.frameID % 5);
        for (std::size_t i = 0; i < frame.data.size(); ++i)
            frame.data[i] = static_cast<std::uint8_t>(frame.frameID + i * 7);
        auto datagrams = MediaFragmenter::fragment(frame, usableDatagramSize, 300);
        EXPECT_TRUE(datagrams);
        return datagrams ? *datagrams : std::vector<SharedBytes>{};
    }

    // One frame from encoder to viewer, leaving out the fragments listed.
    std::size_t sendFrame(std::uint32_t surfaceID, std::set<std::size_t> dropped = {}) {
        const auto datagrams = encode(surfaceID);
        for (std::size_t index = 0; index < datagrams.size(); ++index)
            if (!dropped.contains(index)) run(client.receive(datagrams[index], now));
        return datagrams.size();
    }

    // The encoder's new configuration, as the surface pipeline proposes it.
    void reconfigure(std::uint32_t surfaceID, std::uint16_t width) {
        HostSide::Pipeline& pipeline = host.pipelines.at(surfaceID);
        ++pipeline.configGeneration;
        pipeline.keyframeForced = true;
        performHost(host.session.proposeConfig(config(surfaceID, pipeline.configGeneration, width)));
        run({});
    }

    void advance(std::uint64_t ns) { now += ns; }

    template <class T>
    std::size_t hostDid() const {
        return static_cast<std::size_t>(std::ranges::count_if(host.performed, [](const auto& a) { return a.template is<T>(); }));
    }
    template <class T>
    std::vector<T> clientSent() const {
        std::vector<T> out;
        for (const auto& message : sentByClient)
            if (const auto* m = message.as<T>()) out.push_back(*m);
        return out;
    }

private:
    static StreamConfig config(std::uint32_t surfaceID, std::uint32_t generation, std::uint16_t width) {
        return StreamConfig{surfaceID, generation, 1, VideoCodec::h264, width, 720, 60, 8000, {Bytes{0x67, 0x42, 0x1f}}};
    }

    void performClient(ClientActions actions) {
        for (ClientAction& action : actions) {
            if (const auto* send = action.as<client::Send>()) {
                sentByClient.push_back(send->message);
                toHost_.write(send->message);
            } else if (const auto* deliver = action.as<client::Deliver>()) {
                const AssembledFrame& frame = deliver->frame;
                delivered.push_back({frame.frameID, frame.epoch, frame.flags.contains(MediaHeader::Flags::keyframe),
                                     frame.data});
                client.frameDecoded();
                client.frameDisplayed();
            }
            clientActions.push_back(std::move(action));
        }
    }

    void performHost(HostSessionActions actions) {
        for (const HostSessionAction& action : actions) {
            host.performed.push_back(action);
            if (const auto* send = action.as<action::Send>()) {
                toClient_.write(send->message);
            } else if (const auto* consent = action.as<action::RequestConsent>()) {
                // The user approves; the surface's pipeline starts and its
                // encoder reports its first configuration.
                performHost(host.session.resolveConsent(consent->surfaceID, consent->captureGeneration, true));
                host.pipelines.insert_or_assign(consent->surfaceID, HostSide::Pipeline{});
                performHost(host.session.proposeConfig(config(consent->surfaceID, 1, 1280)));
            } else if (const auto* start = action.as<action::StartMedia>()) {
                host.pipelines.at(start->surfaceID).running = true;
            } else if (const auto* stop = action.as<action::StopMedia>()) {
                host.pipelines.erase(stop->surfaceID);
            } else if (const auto* force = action.as<action::ForceKeyframe>()) {
                if (auto found = host.pipelines.find(force->surfaceID); found != host.pipelines.end())
                    found->second.keyframeForced = true;
            } else if (action.is<action::ListWindows>()) {
                toClient_.write(msg::CaptureList{{CaptureWindow{firstWindow, "Notes", "Notes", 800, 600},
                                                  CaptureWindow{secondWindow, "Mail", "Mail", 1024, 768}}});
            } else if (action.is<action::Close>()) {
                host.closed = true;
            }
        }
    }

    ControlPipe toHost_;
    ControlPipe toClient_;
};

TEST(ClientHostLoopback, WholeSession) {
    Loopback loop;
    using Phase = ClientSession::Phase;

    // Hello both ways, then the window list.
    loop.run(loop.client.start());
    ASSERT_EQ(loop.client.phase(), Phase::ready);
    EXPECT_EQ(loop.host.session.phase(), HostSession::Phase::active);
    EXPECT_EQ(loop.client.hostCapabilities(), loop.host.session.hostCapabilities());
    loop.run(loop.client.requestCaptureList());
    ASSERT_TRUE(loop.clientActions.back().is<client::Windows>());
    EXPECT_EQ(loop.clientActions.back().as<client::Windows>()->windows.size(), 2u);

    // Selecting a window: consent, configuration, acknowledgement, start.
    loop.run(loop.client.selectWindow(firstWindow));
    ASSERT_EQ(loop.client.phase(), Phase::streaming);
    EXPECT_EQ(loop.hostDid<action::StartMedia>(), 1u);
    EXPECT_TRUE(loop.host.session.isStreaming(1, 1));

    for (int i = 0; i < 4; ++i) {
        loop.advance(16 * ms);
        EXPECT_GT(loop.sendFrame(1), 2u) << "frames span several datagrams";
    }
    ASSERT_EQ(loop.delivered.size(), 4u);
    EXPECT_TRUE(loop.delivered.front().keyframe);
    const std::uint32_t firstEpoch = loop.delivered.front().epoch;
    EXPECT_EQ(firstEpoch, 2u);
    for (std::uint32_t id = 0; id < 4; ++id) EXPECT_EQ(loop.delivered[id].frameID, id);

    // A lost fragment: the frame is given up, the client asks for recovery
    // and the host forces a keyframe of a new epoch.
    loop.advance(300 * ms);
    loop.sendFrame(1, {1});
    EXPECT_TRUE(loop.clientSent<msg::RecoveryRequest>().empty());
    loop.advance(16 * ms);
    const std::size_t forcedBefore = loop.hostDid<action::ForceKeyframe>();
    loop.sendFrame(1);
    const auto requests = loop.clientSent<msg::RecoveryRequest>();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (msg::RecoveryRequest{1, firstEpoch, 3, RecoveryReason::frameLoss}));
    EXPECT_EQ(loop.hostDid<action::ForceKeyframe>(), forcedBefore + 1);
    loop.advance(16 * ms);
    loop.sendFrame(1);
    ASSERT_EQ(loop.delivered.size(), 6u);
    EXPECT_EQ(loop.delivered[4].frameID, 5u);
    EXPECT_TRUE(loop.delivered[5].keyframe);
    EXPECT_EQ(loop.delivered[5].epoch, firstEpoch + 1);
    EXPECT_FALSE(loop.client.requester().requestedEpoch()) << "the new epoch answered the request";

    // The report and its clock ping.
    loop.advance(16 * ms);
    loop.run(loop.client.report(loop.now, 1, 0));
    ASSERT_EQ(loop.clientSent<ReceiverReport>().size(), 1u);
    const ReceiverReport report = loop.clientSent<ReceiverReport>().front();
    EXPECT_EQ(report.framesReceived, 6u);
    EXPECT_EQ(report.framesLate + report.framesLost, 2u) << "frame 4, late and as a gap";
    EXPECT_EQ(report.framesDecoded, 6u);
    ASSERT_EQ(loop.client.clock().samples().size(), 1u);
    EXPECT_EQ(loop.client.clock().samples().front().offsetNs, 0);

    // A new configuration mid-stream takes the old surface to generation 2.
    loop.reconfigure(1, 1920);
    EXPECT_EQ(loop.client.config().acknowledged()->configGeneration, 2u);
    loop.advance(16 * ms);
    loop.sendFrame(1);
    ASSERT_EQ(loop.delivered.size(), 7u);
    EXPECT_TRUE(loop.delivered.back().keyframe);

    // Switching windows: the host's new pipeline starts at generation 1
    // and numbers its frames from 0 again.
    loop.run(loop.client.selectWindow(secondWindow));
    EXPECT_EQ(loop.hostDid<action::StopMedia>(), 1u);
    ASSERT_EQ(loop.client.phase(), Phase::streaming);
    EXPECT_EQ(loop.client.config().acknowledged()->configGeneration, 1u);
    EXPECT_TRUE(loop.host.session.isStreaming(1, 1));
    for (int i = 0; i < 3; ++i) {
        loop.advance(16 * ms);
        loop.sendFrame(1);
    }
    ASSERT_EQ(loop.delivered.size(), 10u);
    EXPECT_EQ(loop.delivered[7].frameID, 0u);
    EXPECT_TRUE(loop.delivered[7].keyframe);
    EXPECT_EQ(loop.delivered[9].frameID, 2u);

    // Closing: the stream stops, bye goes out, the host tears down.
    loop.run(loop.client.close());
    EXPECT_EQ(loop.client.phase(), Phase::closed);
    ASSERT_FALSE(loop.clientActions.empty());
    const auto closedAt = std::ranges::find_if(loop.clientActions, [](const auto& a) { return a.template is<client::Closed>(); });
    ASSERT_NE(closedAt, loop.clientActions.end());
    EXPECT_EQ(closedAt->template as<client::Closed>()->reason, ClientCloseReason::local());
    EXPECT_EQ(loop.sentByClient.back(), ControlMessage(msg::Bye{ByeReason::normal}));
    EXPECT_EQ(loop.host.session.phase(), HostSession::Phase::closed);
    EXPECT_TRUE(loop.host.closed);
    EXPECT_EQ(loop.host.session.surfaces().at(1).phase.kind(), HostSession::SurfacePhase::Kind::ended);
    EXPECT_TRUE(loop.host.pipelines.empty());
    EXPECT_EQ(loop.host.session.staleMessages(), 0);
    EXPECT_TRUE(loop.clientSent<msg::Error>().empty());
    EXPECT_EQ(std::ranges::count_if(loop.host.performed,
                                    [](const HostSessionAction& a) {
                                        const auto* send = a.as<action::Send>();
                                        return send && send->message.is<msg::Error>();
                                    }),
              0)
        << "the host refused nothing the client asked";
}

} // namespace
} // namespace quillmere
