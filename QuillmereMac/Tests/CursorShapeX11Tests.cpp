// Cursor shapes from a real X display through the media pipeline's cursor
// path: a window's own cursor, under the pointer, reaches the client as a
// PNG of its size with its hot spot.

#include "Platform/ImageIO/PNGImage.h"
#include "QuillmereMac/Tests/MediaPipelineFixture.h"
#include "TestSupport/X11TestClient.h"
#include "TestSupport/XvfbServer.h"
#include "TestSupport/Host/X11Desktop.h"

namespace quillmere::testing {
namespace {

class CursorShapeX11Test : public ::testing::Test {
protected:
    XvfbServer server{{.screens = {{320, 240}}, .windowManager = false}};
    std::unique_ptr<X11TestClient> x;
    xcb_window_t window = XCB_NONE;
    std::shared_ptr<SerialQueue> main = std::make_shared<SerialQueue>("main");
    std::shared_ptr<MediaPipeline> media;
    std::shared_ptr<RecordingConnection> client =
        std::make_shared<RecordingConnection>(capabilities(320, 240, 30, features::bit6));

    void SetUp() override {
        ASSERT_TRUE(server.ready()) << server.failure();
        x = std::make_unique<X11TestClient>(server.displayName());
        window = x->createWindow(X11TestClient::NewWindow().at(0, 0).sized(200, 200));
        ASSERT_TRUE(x->waitUntilViewable(window));
        xcb_warp_pointer(x->connection(), XCB_NONE, window, 0, 0, 0, 0, 50, 50);
        x->sync();

        MediaPipeline::Services services;
        services.catalog = x11Catalog(server.displayName());
        services.sampleCursor = x11Desktop(server.displayName())->cursorSampler();
        services.displays.pixelSize = [](int) { return std::nullopt; };
        services.displays.isOnline = [](std::uint32_t) { return true; };
        services.makeSource = [](CaptureChoice, RequestedStream) { return std::make_shared<ScriptedSource>(); };
        services.mainActor = main.get();
        media = MediaPipeline::make(std::move(services));
    }
    void TearDown() override {
        main->sync([] {});
        media.reset();
    }

    // A red cursor of the given size and hot spot, made the window's.
    void setWindowCursor(std::uint16_t width, std::uint16_t height, std::uint16_t hotX, std::uint16_t hotY) {
        xcb_connection_t* c = x->connection();
        const xcb_pixmap_t bits = xcb_generate_id(c);
        xcb_create_pixmap(c, 1, bits, window, width, height);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const std::uint32_t one = 1;
        xcb_create_gc(c, gc, bits, XCB_GC_FOREGROUND, &one);
        const xcb_rectangle_t all{0, 0, width, height};
        xcb_poly_fill_rectangle(c, bits, gc, 1, &all);
        const xcb_cursor_t cursor = xcb_generate_id(c);
        xcb_create_cursor(c, cursor, bits, bits, 0xFFFF, 0, 0, 0, 0, 0, hotX, hotY);
        xcb_change_window_attributes(c, window, XCB_CW_CURSOR, &cursor);
        xcb_free_cursor(c, cursor);
        xcb_free_gc(c, gc);
        xcb_free_pixmap(c, bits);
        x->sync();
    }

    std::vector<CursorShape> shapes() const {
        std::vector<CursorShape> result;
        for (const ControlMessage& message : client->control())
            if (const auto* shape = message.as<CursorShape>()) result.push_back(*shape);
        return result;
    }
    bool waitForShapes(std::size_t count) {
        return client->waitUntil([&](const RecordingConnection&) { return shapes().size() >= count; });
    }
    void share() {
        media->startSurface(1, CaptureChoice::testPatternID, client);
        media->beginMedia(1, CaptureChoice::testPatternID, client);
    }
};

TEST_F(CursorShapeX11Test, AWindowsNewCursorIsSentOnceWithItsSizeAndHotSpotAndAgainAfterARestart) {
    share();
    ASSERT_TRUE(waitForShapes(1));

    setWindowCursor(12, 20, 3, 5);
    ASSERT_TRUE(waitForShapes(2));
    const CursorShape shape = shapes().back();
    EXPECT_EQ(shape.hotspotX, 3);
    EXPECT_EQ(shape.hotspotY, 5);
    EXPECT_EQ(shape.pointHeight, 20);
    const auto image = PNGImage::decode(shape.png);
    ASSERT_TRUE(image);
    EXPECT_EQ((std::array{image->width, image->height}), (std::array{12, 20}));
    // Red, opaque, in R, G, B, A order.
    EXPECT_EQ(std::vector(image->rgba.begin(), image->rgba.begin() + 4), (std::vector<std::uint8_t>{0xFF, 0, 0, 0xFF}));

    // The same cursor again: nothing.
    main->sync([&] {
        media->cursor().watcher()->tick();
        media->cursor().watcher()->tick();
    });
    EXPECT_EQ(shapes().size(), 2u);

    media->stopSurface(1, client);
    main->sync([] {});
    share();
    ASSERT_TRUE(waitForShapes(3));
    EXPECT_EQ(shapes().back(), shape);
    media->stopSurface(1, client);
}

} // namespace
} // namespace quillmere::testing
