#include "QuillmereMac/Capture/ScreenCaptureSource.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"

namespace quillmere::testing {
namespace {

// Writes down every question and answers as told.
class RecordingConsent final : public ConsentPresenting {
public:
    std::uint64_t request(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) override {
        asked.emplace_back(std::move(deviceName), windowTitle.value_or("(none)"));
        reply(answer);
        return 0;
    }
    std::uint64_t enqueue(std::string, std::optional<std::string>, Reply reply) override {
        reply(false);
        return 0;
    }
    void withdraw(std::uint64_t) override {}

    bool answer = true;
    std::vector<std::pair<std::string, std::string>> asked;
};

class CaptureChoicesTest : public MediaPipelineTest {
protected:
    std::shared_ptr<RecordingConsent> consent = std::make_shared<RecordingConsent>();

    void SetUp() override {
        auto made = services();
        made.consent = consent;
        media = MediaPipeline::make(std::move(made));
    }

    std::vector<CaptureWindow> list() {
        std::vector<CaptureWindow> windows;
        main->sync([&] { windows = media->captureList(); });
        return windows;
    }
    std::optional<std::pair<std::string, std::string>> consentFor(std::uint32_t captureID) {
        std::optional<bool> answer;
        main->sync([&] { media->requestCaptureConsent("Phone", captureID, [&](bool approved) { answer = approved; }, nullptr); });
        EXPECT_EQ(answer, true);
        if (consent->asked.empty()) return std::nullopt;
        return consent->asked.back();
    }
};

TEST_F(CaptureChoicesTest, TheListOffersTheTestPatternThenDisplaysThenWindows) {
    content.displays = {contentDisplay(1, 1920, 1080), contentDisplay(2, 1280, 1024)};
    content.windows = {contentWindow(30, "Report", "Writer", 800, 600)};
    content.windows[0].frame.width = 801;
    const auto windows = list();
    ASSERT_EQ(windows.size(), 4u);
    EXPECT_EQ(windows[0], (CaptureWindow{0xFFFFFFF0, "Test pattern (measurement)", "QuillmereMac", 1280, 720}));
    EXPECT_EQ(windows[1], (CaptureWindow{0xFFFFFF00, "Entire screen (Display 1)", "Mac", 1920, 1080}));
    EXPECT_EQ(windows[2], (CaptureWindow{0xFFFFFF01, "Entire screen (Display 2)", "Mac", 1280, 1024}));
    EXPECT_EQ(windows[3], (CaptureWindow{30, "Report", "Writer", 801, 600}));

    testPatternOn = false;
    EXPECT_EQ(list().front().windowID, 0xFFFFFF00u);
}

TEST_F(CaptureChoicesTest, OnlySixteenDisplaysAreListed) {
    for (std::uint32_t i = 0; i < 17; ++i) content.displays.push_back(contentDisplay(100 + i, 800, 600));
    testPatternOn = false;
    const auto windows = list();
    ASSERT_EQ(windows.size(), 16u);
    EXPECT_EQ(windows.back().windowID, 0xFFFFFF0Fu);
    // The identifier a 17th display would have had names a window.
    EXPECT_EQ(CaptureChoice::fromCaptureID(0xFFFFFF0F), CaptureChoice::display(15));
    EXPECT_EQ(CaptureChoice::fromCaptureID(0xFFFFFF10), CaptureChoice::window(0xFFFFFF10));
}

TEST_F(CaptureChoicesTest, LongTitlesAndApplicationNamesAreCutOnCharacterBoundaries) {
    content.windows = {contentWindow(31, std::string(200, 't'), std::string(100, 'a'), 400, 300),
                       contentWindow(32, std::string(127, 'x') + "\u00e9", "\u00e9" + std::string(70, 'b'), 400, 300)};
    testPatternOn = false;
    const auto windows = list();
    ASSERT_EQ(windows.size(), 2u);
    const auto find = [&](std::uint32_t id) {
        return *std::find_if(windows.begin(), windows.end(), [id](const CaptureWindow& w) { return w.windowID == id; });
    };
    EXPECT_EQ(find(31).title, std::string(128, 't'));
    EXPECT_EQ(find(31).app, std::string(64, 'a'));
    EXPECT_EQ(find(32).title, std::string(127, 'x'));
    EXPECT_EQ(find(32).app, "\u00e9" + std::string(62, 'b'));
}

TEST_F(CaptureChoicesTest, ConsentAsksAboutWhatTheChoiceShows) {
    content.displays = {contentDisplay(1, 1920, 1080)};
    content.windows = {contentWindow(30, "Report", "Writer", 800, 600)};
    list();
    EXPECT_EQ(consentFor(30), std::make_pair(std::string("Phone"), std::string("Writer \u2014 Report")));
    EXPECT_EQ(consentFor(31)->second, "window 31");
    EXPECT_EQ(consentFor(0xFFFFFF00)->second, "your entire screen (Entire screen)");
    EXPECT_EQ(consentFor(0xFFFFFF05)->second, "your entire screen (display)");
    EXPECT_EQ(consentFor(0xFFFFFFF0)->second, "Test pattern (measurement)");

    // Nobody left to ask: refused.
    consent.reset();
    std::optional<bool> answer;
    main->sync([&] { media->requestCaptureConsent("Phone", 30, [&](bool approved) { answer = approved; }, nullptr); });
    EXPECT_EQ(answer, false);
}

TEST(CaptureSourceFactory, FitsABoxToAnAspect) {
    EXPECT_EQ(CaptureSourceFactory::fitCaptureSize(1920, 1080, 1.0), std::make_pair(1080, 1080));
    EXPECT_EQ(CaptureSourceFactory::fitCaptureSize(1000, 1000, 2.0), std::make_pair(1000, 500));
    EXPECT_EQ(CaptureSourceFactory::fitCaptureSize(1001, 1001, 2.0), std::make_pair(1000, 500));
    EXPECT_EQ(CaptureSourceFactory::fitCaptureSize(1000, 1000, 100.0), std::make_pair(1000, 64));
    for (const double aspect : {0.0, -1.5, std::numeric_limits<double>::infinity(), std::nan("")})
        EXPECT_EQ(CaptureSourceFactory::fitCaptureSize(1001, 999, aspect), std::make_pair(1001, 999));
}

TEST(CaptureSourceFactory, ADisplaysRasterComesFromItsCurrentSizeAndTheBox) {
    using Size = DisplayQueries::PixelSize;
    struct Case {
        std::optional<Size> display;
        int boxWidth, boxHeight;
        std::pair<int, int> raster;
    };
    const Case cases[] = {
        {Size{1920, 1080}, 1920, 1080, {1920, 1080}},
        {Size{1920, 1080}, 8192, 8192, {1920, 1080}},
        {Size{1920, 1080}, 640, 360, {640, 360}},
        {Size{1920, 1080}, 640, 480, {640, 360}},
        {Size{1920, 1080}, 1000, 1000, {1000, 562}},
        {Size{1366, 768}, 1920, 1080, {1366, 768}},
        {Size{1366, 768}, 1600, 900, {1366, 768}},
        {Size{1920, 1080}, 100, 40, {70, 64}},
        {std::nullopt, 1001, 999, {1000, 998}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CaptureSourceFactory::displayRaster(c.display, c.boxWidth, c.boxHeight), c.raster)
            << c.boxWidth << "x" << c.boxHeight;
}

TEST(CaptureSourceFactory, WindowAndDisplaySettingsFollowTheirShapes) {
    const RequestedStream requested{1280, 720, 30, true};
    const CaptureSettings window = CaptureSourceFactory::windowSettings(Rect{0, 0, 600, 600}, requested);
    EXPECT_EQ(window, (CaptureSettings{720, 720, 30, false, 3, 1280, 720}));
    EXPECT_EQ(CaptureSourceFactory::windowSettings(std::nullopt, {1280, 720, 60, false}),
              (CaptureSettings{1280, 720, 60, true, 3, 1280, 720}));

    // A display smaller than the request caps it before the fit; an unknown
    // native size does not.
    const Rect bounds{0, 0, 1512, 982};
    EXPECT_EQ(CaptureSourceFactory::displaySettings(DisplayQueries::PixelSize{1512, 982}, bounds, {1920, 1080, 60, false}),
              (CaptureSettings{1512, 982, 60, true, 3, 0, 0}));
    EXPECT_EQ(CaptureSourceFactory::displaySettings(std::nullopt, bounds, {1920, 1080, 60, false}),
              (CaptureSettings{1662, 1080, 60, true, 3, 0, 0}));
}

TEST_F(CaptureChoicesTest, TheFactoryMakesSourcesForWhatTheCatalogKnows) {
    content.displays = {contentDisplay(1, 1920, 1080)};
    content.windows = {contentWindow(30, "Report", "Writer", 800, 400)};
    const DisplayQueries displays{[](int) { return std::optional<DisplayQueries::PixelSize>{}; },
                                  [](std::uint32_t) { return true; }};
    // Sources are made, not started: their streams are never asked for.
    const ScreenCaptureStreamFactory streams =
        [](const ContentFilter&, const ScreenCaptureStreamConfiguration&, std::weak_ptr<ScreenCaptureStreamOutput>,
           std::shared_ptr<Executor>) -> std::expected<std::shared_ptr<ScreenCaptureStream>, ScreenCaptureError> {
        return std::unexpected(ScreenCaptureError::make(ScreenCaptureError::failedToStart, "not started here"));
    };
    // Without a desktop's streams only the test pattern can be made.
    EXPECT_EQ(CaptureSourceFactory(catalog, displays).makeSource(CaptureChoice::window(30), {1280, 720, 60, false}),
              nullptr);
    CaptureSourceFactory factory(catalog, displays, streams);
    // Nothing listed yet: the catalog looks once before giving up.
    const auto window = std::dynamic_pointer_cast<ScreenCaptureSource>(
        factory.makeSource(CaptureChoice::window(30), {1280, 720, 60, false}));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->label(), "window 30");
    EXPECT_EQ(window->settings(), (CaptureSettings{1280, 640, 60, true, 3, 1280, 720}));

    const auto display = std::dynamic_pointer_cast<ScreenCaptureSource>(
        factory.makeSource(CaptureChoice::display(0), {1280, 720, 60, false}));
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->label(), "display 0");
    EXPECT_EQ(factory.makeSource(CaptureChoice::display(1), {1280, 720, 60, false}), nullptr);
    EXPECT_EQ(factory.makeSource(CaptureChoice::window(31), {1280, 720, 60, false}), nullptr);

    const auto pattern = std::dynamic_pointer_cast<TestPatternSource>(
        factory.makeSource(CaptureChoice::testPattern(), {640, 360, 30, false}));
    ASSERT_NE(pattern, nullptr);
    EXPECT_EQ(std::make_tuple(pattern->width(), pattern->height(), pattern->fps()), std::make_tuple(640, 360, 30));
}

} // namespace
} // namespace quillmere::testing
