// The media pipeline's audio and cursor paths with sources of the test's own:
// which streams exist for which surfaces, who announces, what the routes
// log, and who gets cursor shapes.

#include "QuillmereMac/Tests/MediaPipelineFixture.h"

namespace quillmere::testing {
namespace {

constexpr std::uint32_t appWindow = 0x10;  // owned by process 4016
constexpr std::uint32_t otherWindow = 0x20;
const FeatureSet audio = features::bit2;
const FeatureSet routed = features::bit2 | features::bit8;

class MediaPipelineAudioTest : public MediaPipelineTest {
protected:
    // Made on the main actor, by what they were made for.
    std::map<std::string, std::shared_ptr<ScriptedAudioSource>> sources;
    std::set<std::string> failing;
    std::optional<SystemCursor> cursorNow;

    void SetUp() override {
        content.displays = {contentDisplay(1, 1920, 1080)};
        content.windows = {contentWindow(appWindow, "Song", "Player", 400, 300),
                           contentWindow(otherWindow, "Notes", "Editor", 400, 300)};
        sourceFor = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
        auto s = services();
        s.makeAudioSource = [this](CaptureChoice choice) { return source(choice.description()); };
        s.makeRoutedAudioSource = [this](const AudioRouting::Route& r) { return source(AudioRouting::description(r)); };
        s.sampleCursor = [this] { return cursorNow; };
        media = MediaPipeline::make(std::move(s));
        main->sync([&] { catalog->refresh(false); });
    }
    std::shared_ptr<AudioSource> source(const std::string& what) {
        return sources[what] = std::make_shared<ScriptedAudioSource>(failing.contains(what));
    }
    std::vector<std::string> madeFor() {
        std::vector<std::string> names;
        main->sync([&] {
            for (const auto& [name, source] : sources) names.push_back(name);
        });
        return names;
    }
    std::shared_ptr<RecordingConnection> client(FeatureSet features) {
        return connection(capabilities(320, 180, 30, features));
    }
    void share(const std::shared_ptr<RecordingConnection>& c, std::uint32_t surfaceID, std::uint32_t captureID) {
        media->startSurface(surfaceID, captureID, c);
        media->beginMedia(surfaceID, captureID, c);
    }
    std::set<std::uint32_t> routedStreams(const std::shared_ptr<RecordingConnection>& c) {
        std::set<std::uint32_t> ids;
        for (const auto& [id, stream] : media->audio().routedStreams(c)) ids.insert(id);
        return ids;
    }
};

TEST_F(MediaPipelineAudioTest, AClientWithoutRoutingGetsOneStreamMadeForItsFirstSurfaceUntilTheLastEnds) {
    const auto c = client(audio);
    failing = {"window(16)"};
    share(c, 1, appWindow);
    settleMain();
    // A stream whose source failed is forgotten; the next surface tries again.
    EXPECT_EQ(media->audio().sessionStream(c), nullptr);
    failing.clear();
    share(c, 2, otherWindow);
    share(c, 3, otherWindow);
    settleMain();
    EXPECT_EQ(madeFor(), (std::vector<std::string>{"window(16)", "window(32)"}));
    const auto stream = media->audio().sessionStream(c);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->surfaceID(), 1u);
    EXPECT_EQ(c->audio->configs(), (std::vector<msg::AudioConfig>{{1, 48000, 2, 10}}));

    media->stopSurface(2, c);
    media->stopSurface(1, c);
    EXPECT_EQ(media->audio().sessionStream(c), stream);
    media->stopSurface(3, c);
    EXPECT_EQ(media->audio().sessionStream(c), nullptr);
    EXPECT_TRUE(eventually([&] { return sources["window(32)"]->stops == 1; }));
}

TEST_F(MediaPipelineAudioTest, RoutedSurfacesEachCarryTheirOwnSoundAndOnlyTheFirstAnnounces) {
    const auto c = client(routed);
    media->startSurface(2, appWindow, c);
    media->startSurface(3, displayZero, c);
    media->beginMedia(2, appWindow, c);
    media->beginMedia(3, displayZero, c);
    settleMain();
    EXPECT_EQ(routedStreams(c), (std::set<std::uint32_t>{2, 3}));
    EXPECT_TRUE(media->audio().routedStreams(c).at(2)->announces());
    EXPECT_EQ(c->audio->configs().size(), 1u);

    // A paused surface is not heard; resumed, it is again.
    media->setPaused(3, true, c);
    settleMain();
    EXPECT_EQ(routedStreams(c), (std::set<std::uint32_t>{2}));
    EXPECT_EQ(sources["everythingElse(excluding: [4016])"]->stops, 1);
    media->setPaused(3, false, c);
    settleMain();
    EXPECT_EQ(routedStreams(c), (std::set<std::uint32_t>{2, 3}));
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
    media->stopSurface(2, c);
    media->stopSurface(3, c);
    settleMain();
    EXPECT_TRUE(routedStreams(c).empty());
    EXPECT_TRUE(media->audio().routes(c).empty());
}

// The stream that was to announce never ran: the next one announces, or the
// client would drop every routed packet for want of a configuration.
TEST_F(MediaPipelineAudioTest, WhenTheAnnouncingStreamCannotStartTheNextOneAnnounces) {
    failing = {"app(pid: 4016)"};
    const auto c = client(routed);
    media->startSurface(2, appWindow, c);
    share(c, 3, testPattern);
    settleMain();
    EXPECT_EQ(routedStreams(c), (std::set<std::uint32_t>{3}));
    EXPECT_EQ(c->audio->configs().size(), 1u);
    EXPECT_TRUE(media->audio().routedStreams(c).at(3)->announces());
}

// Two clients both share a surface 2, a third its display: each has its own
// routes or stream, and its own announcement.
TEST_F(MediaPipelineAudioTest, EachClientHasItsOwnAudio) {
    const auto first = client(routed);
    const auto second = client(routed);
    const auto third = client(audio);
    share(first, 2, appWindow);
    share(second, 2, testPattern);
    share(third, 2, displayZero);
    settleMain();
    EXPECT_EQ(AudioRouting::describe(media->audio().routes(first)), "s2:app(pid: 4016)");
    EXPECT_EQ(AudioRouting::describe(media->audio().routes(second)), "s2:clickTrack");
    EXPECT_NE(media->audio().sessionStream(third), nullptr);
    for (const auto& c : {first, second, third}) EXPECT_EQ(c->audio->configs().size(), 1u);
    media->stopSurface(2, second);
    media->stopSurface(2, third);
    EXPECT_EQ(routedStreams(first), (std::set<std::uint32_t>{2}));
    EXPECT_EQ(media->audio().sessionStream(third), nullptr);
}

std::size_t shapesSent(const RecordingConnection& c) {
    const auto control = c.control();
    return static_cast<std::size_t>(
        std::count_if(control.begin(), control.end(), [](const ControlMessage& m) { return m.is<CursorShape>(); }));
}

TEST_F(MediaPipelineAudioTest, CursorShapesGoToEveryClientThatAsksUntilTheLastSurfaceEnds) {
    cursorNow = SystemCursor{4, 4, 4, 4, 0, 0, std::vector<std::uint32_t>(16, 0xFF000000)};
    const auto first = client(features::bit6);
    const auto second = client(features::bit6);
    share(first, 1, testPattern);
    settleMain();
    EXPECT_EQ(shapesSent(*first), 1u);
    share(second, 1, testPattern);
    settleMain();
    // The second client missed the shape: everyone gets it again.
    main->sync([&] { media->cursor().watcher()->tick(); });
    EXPECT_EQ(shapesSent(*second), 1u);
    EXPECT_EQ(shapesSent(*first), 2u);

    media->stopSurface(1, first);
    settleMain();
    EXPECT_NE(media->cursor().watcher(), nullptr);
    media->stopSurface(1, second);
    settleMain();
    EXPECT_EQ(media->cursor().watcher(), nullptr);
}

} // namespace
} // namespace quillmere::testing
