// Sound end to end over real loopback QUIC: the host as composed at start-up,
// a paired viewer that asks for audio, the test pattern's click track as Opus
// datagrams decoded with libopus.

#include "QuillmereMac/Tests/TestViewer.h"
#include "TestSupport/Host/TestHost.h"

#include <gtest/gtest.h>

#include <opus/opus.h>

#include <map>

namespace quillmere::testing {
namespace {

using namespace std::chrono_literals;

// The click track's 500 ms at 48 kHz, in frames and in 10 ms packets.
constexpr std::int64_t clickSpacing = 24'000;
constexpr std::uint32_t packetsPerClick = 50;

class AudioEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = host.start();
        phone.emplace(host.pairThroughInvitation());
    }

    std::unique_ptr<TestViewer> viewer(FeatureSet features, std::uint8_t surfaces = 1) {
        TestViewer::Options options;
        options.width = 160;
        options.height = 96;
        options.fps = 10;
        options.features = features;
        options.maxSurfaces = surfaces;
        auto made = std::make_unique<TestViewer>(*phone, host.identity.fingerprint, port, host.defaults.defaults(), options);
        EXPECT_TRUE(made->waitUntil([](const TestViewer& v) { return v.phase() == ClientSession::Phase::ready; }, 20s));
        made->select(CaptureChoice::testPatternID);
        return made;
    }

    static std::map<std::uint32_t, Bytes> packetsOf(const TestViewer::Audio& audio, std::uint32_t streamID) {
        std::map<std::uint32_t, Bytes> bySequence;
        for (const auto& packet : audio.packets)
            if (packet.streamID == streamID) bySequence[packet.sequence] = packet.payload;
        return bySequence;
    }

    TestHost host{{.pipelineDisplay = ""}};
    std::uint16_t port = 0;
    std::optional<LocalIdentity> phone;
};

// Every packet from the first to the last, decoded in order; a missing one
// is concealed so that the time line stays whole. Mono, the left channel.
std::vector<float> decode(const std::map<std::uint32_t, Bytes>& packets) {
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    EXPECT_EQ(error, OPUS_OK);
    std::vector<float> left;
    std::vector<float> frame(960);
    for (std::uint32_t sequence = packets.begin()->first; sequence <= packets.rbegin()->first; ++sequence) {
        const auto found = packets.find(sequence);
        const int decoded = found == packets.end()
                                ? opus_decode_float(decoder, nullptr, 0, frame.data(), 480, 0)
                                : opus_decode_float(decoder, found->second.data(),
                                                    static_cast<opus_int32>(found->second.size()), frame.data(), 480, 0);
        EXPECT_EQ(decoded, 480) << "packet " << sequence;
        for (int i = 0; i < 480; ++i) left.push_back(frame[static_cast<std::size_t>(2 * i)]);
    }
    opus_decoder_destroy(decoder);
    return left;
}

// Where each click starts: the first loud sample after a quiet stretch.
std::vector<std::int64_t> clickOnsets(const std::vector<float>& samples) {
    std::vector<std::int64_t> onsets;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) < 0.3F) continue;
        if (onsets.empty() || static_cast<std::int64_t>(i) - onsets.back() > clickSpacing / 2)
            onsets.push_back(static_cast<std::int64_t>(i));
    }
    return onsets;
}

TEST_F(AudioEndToEndTest, TheClickTrackArrivesAsOpusAfterOneAnnouncementWithItsClicksHalfASecondApart) {
    auto client = viewer(features::bit2);
    // Packet n carries the track's frame n - 1; a click opens every 50th.
    const auto opensClick = [](const client::AudioPacket& p) { return (p.sequence - 1) % packetsPerClick == 0; };
    ASSERT_TRUE(client->waitUntil(
        [&](const TestViewer& v) { return std::count_if(v.audio().packets.begin(), v.audio().packets.end(), opensClick) >= 3; },
        30s));
    const TestViewer::Audio audio = client->audioCopy();
    ASSERT_EQ(audio.configs.size(), 1u);
    EXPECT_EQ(audio.configs[0], (client::AudioConfigured{1, 48000, 2, 10}));

    // The announcement came first: nothing was dropped unheard before it.
    EXPECT_EQ(client->countsCopy().audioBeforeConfig, 0);
    const auto packets = packetsOf(audio, 1);
    const auto onsets = clickOnsets(decode(packets));
    ASSERT_GE(onsets.size(), 3u);
    for (std::size_t i = 1; i < onsets.size(); ++i) EXPECT_NEAR(onsets[i] - onsets[i - 1], clickSpacing, 48) << i;

    // From the tenth silent frame after a click, one packet stands for all;
    // the ones before it are encoded.
    std::size_t reused = 0;
    for (const auto& [sequence, payload] : packets) {
        const std::uint32_t offset = (sequence - 1) % packetsPerClick;
        const auto tenth = packets.find(sequence - offset + 10);
        if (offset < 10 || tenth == packets.end()) continue;
        if (offset == 10) {
            if (const auto ninth = packets.find(sequence - 1); ninth != packets.end()) {
                EXPECT_NE(ninth->second, payload);
            }
            continue;
        }
        EXPECT_EQ(payload, tenth->second) << "packet " << sequence;
        ++reused;
    }
    EXPECT_GT(reused, 70u);
}

TEST_F(AudioEndToEndTest, AClientRoutingAudioGetsOneAnnouncementForTwoRoutedSurfaces) {
    auto client = viewer(features::bit2 | features::bit8, 2);
    ASSERT_TRUE(client->waitUntil([](const TestViewer& v) { return !v.audio().packets.empty(); }, 30s));
    client->addSurface(2, CaptureChoice::testPatternID);
    ASSERT_TRUE(client->waitUntil(
        [](const TestViewer& v) {
            // Long after its stream would have announced itself.
            return std::count_if(v.audio().packets.begin(), v.audio().packets.end(),
                                 [](const client::AudioPacket& p) { return p.streamID == 2; }) >= 20;
        },
        30s));
    const TestViewer::Audio audio = client->audioCopy();
    EXPECT_EQ(audio.configs.size(), 1u);
    EXPECT_EQ(client->countsCopy().audioBeforeConfig, 0);
    EXPECT_FALSE(packetsOf(audio, 1).empty());
}

} // namespace
} // namespace quillmere::testing
