// The session's audio with sources of the test's own, over a surface list
// the test keeps: which streams exist for which surfaces, who announces,
// and what the routes log.

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Audio/SessionAudio.h"
#include "QuillmereMac/Surface/SurfaceKey.h"
#include "QuillmereMac/Tests/LogCapture.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "QuillmereWire/SequenceNumber.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>

namespace quillmere::testing {
namespace {

constexpr std::uint32_t appWindow = 0x10; // owned by process 4016
constexpr std::uint32_t otherWindow = 0x20;
constexpr std::uint32_t displayZero = CaptureChoice::displayIDBase;
constexpr std::uint32_t testPattern = CaptureChoice::testPatternID;
const FeatureSet wholeSound = features::bit2;
const FeatureSet routed = features::bit2 | features::bit8;
using Streams = std::set<std::uint32_t>;

class ListedSurfaces final : public AudioSurfaces {
public:
    std::vector<std::pair<std::uint32_t, CaptureChoice>>
    audibleSurfaces(const std::shared_ptr<MediaConnection>& connection) override {
        std::lock_guard lock(mutex);
        std::vector<std::pair<std::uint32_t, CaptureChoice>> audible;
        for (const auto& [key, choice] : surfaces)
            if (key.belongsTo(connection) && !paused.contains(key)) audible.emplace_back(key.surfaceID, choice);
        return audible;
    }
    // Whether the connection has a surface left.
    bool remove(const SurfaceKey& key) {
        std::lock_guard lock(mutex);
        surfaces.erase(key);
        paused.erase(key);
        return std::any_of(surfaces.begin(), surfaces.end(), [&](const auto& entry) {
            return entry.first.belongsTo(key.connection.lock());
        });
    }

    std::mutex mutex;
    std::map<SurfaceKey, CaptureChoice, SurfaceKeyOrder> surfaces;
    std::set<SurfaceKey, SurfaceKeyOrder> paused;
};

class SessionAudioTest : public ::testing::Test {
protected:
    LogCapture log;
    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>("main");
    std::shared_ptr<ListedSurfaces> surfaces = std::make_shared<ListedSurfaces>();
    // By what they were made for.
    std::map<std::string, std::shared_ptr<ScriptedAudioSource>> sources;
    std::set<std::string> failing;
    std::shared_ptr<SessionAudio> audio = SessionAudio::make(
        {main.get(), main, surfaces, [this](CaptureChoice choice) { return source(choice.description()); },
         [this](const AudioRouting::Route& route) { return source(AudioRouting::description(route)); },
         [](std::uint32_t windowID) -> std::optional<std::int32_t> {
             return static_cast<std::int32_t>(4000 + windowID);
         }});

    std::shared_ptr<AudioSource> source(const std::string& what) {
        return sources[what] = std::make_shared<ScriptedAudioSource>(failing.contains(what));
    }
    std::vector<std::string> madeFor() const {
        std::vector<std::string> names;
        for (const auto& [name, source] : sources) names.push_back(name);
        return names;
    }
    static std::shared_ptr<RecordingConnection> client(FeatureSet features) {
        return std::make_shared<RecordingConnection>(Capabilities{{}, 320, 180, 30, 4, features, 1200});
    }
    void add(const std::shared_ptr<RecordingConnection>& c, std::uint32_t surfaceID, std::uint32_t captureID) {
        std::lock_guard lock(surfaces->mutex);
        surfaces->surfaces[SurfaceKey{c, surfaceID}] = CaptureChoice::fromCaptureID(captureID);
    }
    void share(const std::shared_ptr<RecordingConnection>& c, std::uint32_t surfaceID, std::uint32_t captureID) {
        add(c, surfaceID, captureID);
        audio->begin(captureID, c);
    }
    void stop(const std::shared_ptr<RecordingConnection>& c, std::uint32_t surfaceID) {
        audio->end(surfaces->remove(SurfaceKey{c, surfaceID}), c);
    }
    void pause(const std::shared_ptr<RecordingConnection>& c, std::uint32_t surfaceID, bool paused) {
        const SurfaceKey key{c, surfaceID};
        bool changed = false;
        {
            std::lock_guard lock(surfaces->mutex);
            changed = paused ? surfaces->paused.insert(key).second : surfaces->paused.erase(key) > 0;
        }
        audio->pauseChanged(surfaceID, paused, changed, c);
    }
    void settle() { main->runUntilIdle(); }
    // Ten milliseconds of sound through the source made for what, handed on once this returns.
    void play(const std::string& what, const std::shared_ptr<RecordingConnection>& c, std::uint32_t surfaceID) {
        sources.at(what)->deliver(tenMilliseconds(Clock::nowNs()));
        audio->routedStreams(c).at(surfaceID)->stats();
    }
    Streams routedStreams(const std::shared_ptr<RecordingConnection>& c) {
        Streams ids;
        for (const auto& [id, stream] : audio->routedStreams(c)) ids.insert(id);
        return ids;
    }
};

TEST_F(SessionAudioTest, AClientWithoutRoutingGetsOneStreamMadeForItsFirstSurfaceUntilTheLastEnds) {
    const auto c = client(wholeSound);
    failing = {"window(16)"};
    share(c, 1, appWindow);
    settle();
    // A stream whose source failed is forgotten; the next surface tries again.
    EXPECT_EQ(audio->sessionStream(c), nullptr);
    failing.clear();
    share(c, 2, otherWindow);
    share(c, 3, otherWindow);
    settle();
    EXPECT_EQ(madeFor(), (std::vector<std::string>{"window(16)", "window(32)"}));
    const auto stream = audio->sessionStream(c);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->surfaceID(), 1u);
    EXPECT_EQ(c->audio->configs(), (std::vector<msg::AudioConfig>{{1, 48000, 2, 10}}));

    stop(c, 2);
    stop(c, 1);
    EXPECT_EQ(audio->sessionStream(c), stream);
    stop(c, 3);
    EXPECT_EQ(audio->sessionStream(c), nullptr);
    settle();
    EXPECT_EQ(sources["window(32)"]->stops, 1);
}

TEST_F(SessionAudioTest, RoutedSurfacesEachCarryTheirOwnSoundAndOnlyTheFirstAnnounces) {
    const auto c = client(routed);
    add(c, 2, appWindow);
    add(c, 3, displayZero);
    audio->begin(appWindow, c);
    audio->begin(displayZero, c);
    settle();
    EXPECT_EQ(routedStreams(c), (Streams{2, 3}));
    EXPECT_TRUE(audio->routedStreams(c).at(2)->announces());
    EXPECT_EQ(c->audio->configs().size(), 1u);

    // A paused surface is not heard; resumed, it is again.
    pause(c, 3, true);
    settle();
    EXPECT_EQ(routedStreams(c), (Streams{2}));
    EXPECT_EQ(sources["everythingElse(excluding: [4016])"]->stops, 1);
    pause(c, 3, false);
    settle();
    EXPECT_EQ(routedStreams(c), (Streams{2, 3}));
    EXPECT_EQ(c->audio->configs().size(), 1u);
    const std::string both = "audio routes s2:app(pid: 4016) s3:everythingElse(excluding: [4016])";
    EXPECT_EQ(log.lines("audio"), (std::vector<std::string>{
                                      both + " restart=[2, 3] stop=[]",
                                      both + " restart=[] stop=[]",
                                      "surface 3 paused=true",
                                      "audio routes s2:app(pid: 4016) restart=[] stop=[3]",
                                      "surface 3 paused=false",
                                      both + " restart=[3] stop=[]",
                                  }));
    stop(c, 2);
    stop(c, 3);
    settle();
    EXPECT_TRUE(routedStreams(c).empty());
    EXPECT_TRUE(audio->routes(c).empty());
}

// Every surface paused leaves no route, yet the client keeps the
// configuration it was sent: the surface resumed does not announce again.
TEST_F(SessionAudioTest, ResumingAfterEverySurfacePausedDoesNotAnnounceAgain) {
    const auto c = client(routed);
    add(c, 2, appWindow);
    share(c, 3, displayZero);
    settle();
    ASSERT_EQ(c->audio->configs().size(), 1u);
    pause(c, 2, true);
    pause(c, 3, true);
    settle();
    EXPECT_TRUE(routedStreams(c).empty());
    pause(c, 3, false);
    settle();
    EXPECT_EQ(routedStreams(c), (Streams{3}));
    EXPECT_FALSE(audio->routedStreams(c).at(3)->announces());
    EXPECT_EQ(c->audio->configs().size(), 1u);

    // Once the routed audio stopped, the next stream announces again.
    stop(c, 2);
    stop(c, 3);
    settle();
    share(c, 4, displayZero);
    settle();
    EXPECT_EQ(c->audio->configs().size(), 2u);
}

// The stream made when a surface resumes carries the same generation and no
// announcement: a receiver that drops packets not newer than the last one
// it took would drop its sound until its numbers passed the old ones.
TEST_F(SessionAudioTest, AStreamMadeAgainNumbersOnFromTheClientsLastPacket) {
    const auto c = client(routed);
    add(c, 2, appWindow);
    share(c, 3, displayZero);
    settle();
    for (int i = 0; i < 3; ++i) play("app(pid: 4016)", c, 2);
    play("everythingElse(excluding: [4016])", c, 3);
    const auto before = c->audio->packets();
    ASSERT_EQ(before.size(), 4u);

    pause(c, 2, true);
    pause(c, 3, true);
    settle();
    pause(c, 3, false);
    settle();
    play("everythingElse(excluding: [])", c, 3);
    const auto after = c->audio->packets();
    ASSERT_EQ(after.size(), 5u);
    for (const auto& packet : before)
        EXPECT_TRUE(isNewer(after.back().sequence, packet.sequence)) << after.back().sequence << " after " << packet.sequence;
    EXPECT_EQ(c->audio->configs().size(), 1u);
}

// The stream that was to announce never ran: the next one announces, or the
// client would drop every routed packet for want of a configuration.
TEST_F(SessionAudioTest, WhenTheAnnouncingStreamCannotStartTheNextOneAnnounces) {
    failing = {"app(pid: 4016)"};
    const auto c = client(routed);
    add(c, 2, appWindow);
    share(c, 3, testPattern);
    settle();
    EXPECT_EQ(routedStreams(c), (Streams{3}));
    EXPECT_EQ(c->audio->configs().size(), 1u);
    EXPECT_TRUE(audio->routedStreams(c).at(3)->announces());
}

// Two clients both share a surface 2, a third its display: each has its own
// routes or stream, and its own announcement.
TEST_F(SessionAudioTest, EachClientHasItsOwnAudio) {
    const auto first = client(routed);
    const auto second = client(routed);
    const auto third = client(wholeSound);
    share(first, 2, appWindow);
    share(second, 2, testPattern);
    share(third, 2, displayZero);
    settle();
    EXPECT_EQ(AudioRouting::describe(audio->routes(first)), "s2:app(pid: 4016)");
    EXPECT_EQ(AudioRouting::describe(audio->routes(second)), "s2:clickTrack");
    EXPECT_NE(audio->sessionStream(third), nullptr);
    for (const auto& c : {first, second, third}) EXPECT_EQ(c->audio->configs().size(), 1u);
    stop(second, 2);
    stop(third, 2);
    settle();
    EXPECT_EQ(routedStreams(first), (Streams{2}));
    EXPECT_EQ(audio->sessionStream(third), nullptr);
}

} // namespace
} // namespace quillmere::testing
