#pragma once

#include "TestSupport/TestValues.h"
#include "QuillmereMac/Tests/HostConnectionFakes.h"
#include "QuillmereMac/Tests/LogCapture.h"

#include <gtest/gtest.h>

namespace quillmere::testing {

using testing::ms;
constexpr std::uint32_t S = 7;
constexpr std::uint32_t W = 0x1234;

inline Hello hostHello() { return Hello{1, 0, PeerRole::host, WireID{}, WireID{}, "Mac"}; }
inline Capabilities hostCapabilities() { return Capabilities{{}, 3840, 2160, 60, 4, {}, 1200}; }
inline Hello clientHello(std::uint16_t major = 1) { return Hello{major, 0, PeerRole::client, WireID{}, WireID{}, "Phone"}; }
inline Capabilities clientCapabilities(std::uint16_t maxDatagram = 1200) {
    return Capabilities{{}, 2556, 1179, 120, 4, {}, maxDatagram};
}
inline RateConfig rateConfig() {
    return RateConfig(2000, 40000, 20000, 0.85, 1.05, 500 * ms, 2000 * ms, 10000 * ms, 0.02, 0.05, 3);
}
inline StreamConfig streamConfig(std::uint32_t surfaceID, std::uint32_t generation) {
    return StreamConfig{surfaceID, generation, 1, VideoCodec::h264, 1920, 1080, 60, 20000, {Bytes{0x67, 0x42}}};
}
inline EncodedFrame frameOf(std::uint32_t surfaceID, std::uint32_t frameID, std::size_t length, std::uint64_t captureNs,
                            bool keyframe, std::uint32_t configGeneration = 1) {
    EncodedFrame frame;
    frame.surfaceID = surfaceID;
    frame.frameID = frameID;
    frame.configGeneration = configGeneration;
    frame.flags = keyframe ? MediaHeader::Flags::keyframe : MediaHeader::Flags{};
    frame.captureTimeNs = captureNs;
    frame.data.assign(length, static_cast<std::uint8_t>(frameID));
    return frame;
}

class HostConnectionTest : public ::testing::Test {
protected:
    LogCapture log;
    Transcript transcript;
    ManualExecutor main{"main"};
    std::shared_ptr<FakePeer> peer = std::make_shared<FakePeer>(transcript);
    std::shared_ptr<FakeMedia> media = std::make_shared<FakeMedia>(transcript);
    std::vector<std::optional<std::string>> statuses;
    int closedCount = 0;
    std::shared_ptr<HostConnection> connection;

    void SetUp() override { connection = makeConnection(media); }

    std::shared_ptr<HostConnection> makeConnection(MediaRoles roles) {
        auto made = HostConnection::make(
            peer, HostSession(hostHello(), hostCapabilities(), rateConfig()), std::move(roles), main,
            [this](HostConnection&, const std::optional<std::string>& name) { statuses.push_back(name); },
            [this](HostConnection&) { ++closedCount; });
        made->start();
        return made;
    }

    // Runs every queue until none has work left at the current time.
    void settle() {
        for (;;) {
            std::size_t ran = peer->executor.runUntilIdle() + main.runUntilIdle();
            if (media) ran += media->pipelineQueue->runUntilIdle();
            if (ran == 0) return;
        }
    }

    // Transcript entries since the last call.
    Transcript take() {
        settle();
        Transcript out;
        out.swap(transcript);
        return out;
    }

    // The peer is ready before anything arrives on its control stream.
    void hello() {
        peer->emit(peer::Ready{Digest32{}});
        peer->receive(clientHello());
        peer->receive(clientCapabilities());
        take();
    }

    // Select, consent, configuration and start of one surface.
    void stream(std::uint32_t surfaceID, std::uint32_t windowID = W) {
        peer->receive(msg::CaptureSelect{surfaceID, windowID});
        settle();
        media->consentReplies.back()(true);
        settle();
        connection->announceStreamConfig(streamConfig(surfaceID, 1));
        settle();
        peer->receive(msg::ConfigAck{surfaceID, 1});
        peer->receive(msg::StartStream{surfaceID});
        take();
    }
};

} // namespace quillmere::testing
