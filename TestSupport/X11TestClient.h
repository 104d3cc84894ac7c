#pragma once

// Another X client for tests: makes, draws, moves and destroys windows the
// way an application would, and sets RandR monitors. Windows keep what was
// drawn into them so that pump() can repaint what an Expose asks for.

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::testing {

class X11TestClient {
public:
    struct NewWindow {
        int x = 0;
        int y = 0;
        int width = 320;
        int height = 240;
        std::string title = "Test window";
        std::string instance = "testapp";
        std::string className = "TestApp";
        // An owner that is not the test process, which the catalog would hide.
        std::optional<std::uint32_t> pid = 4242;
        std::uint32_t background = 0x000000;
        bool overrideRedirect = false;
        std::vector<std::string> types;  // _NET_WM_WINDOW_TYPE_* names
        int screen = 0;
        // The visual's depth (32: with alpha; 0: the screen's) and class.
        int depth = 0;
        std::uint8_t visualClass = XCB_VISUAL_CLASS_TRUE_COLOR;
        bool map = true;

        NewWindow& at(int px, int py) { return x = px, y = py, *this; }
        NewWindow& sized(int w, int h) { return width = w, height = h, *this; }
        NewWindow& titled(std::string text) { return title = std::move(text), *this; }
        NewWindow& ownedBy(std::optional<std::uint32_t> process) { return pid = process, *this; }
        NewWindow& classed(std::string inst, std::string cls) {
            return instance = std::move(inst), className = std::move(cls), *this;
        }
        NewWindow& filled(std::uint32_t rgb) { return background = rgb, *this; }
        NewWindow& overriding() { return overrideRedirect = true, *this; }
        NewWindow& typed(std::string type) { return types.push_back(std::move(type)), *this; }
        NewWindow& onScreen(int number) { return screen = number, *this; }
        NewWindow& deep(int bits) { return depth = bits, *this; }
        NewWindow& ofClass(std::uint8_t visual) { return visualClass = visual, *this; }
        NewWindow& unmapped() { return map = false, *this; }
    };

    explicit X11TestClient(const std::string& display);
    ~X11TestClient() { xcb_disconnect(c_); }
    X11TestClient(const X11TestClient&) = delete;
    X11TestClient& operator=(const X11TestClient&) = delete;

    bool ok() const { return xcb_connection_has_error(c_) == 0 && !screens_.empty(); }
    xcb_connection_t* connection() const { return c_; }
    xcb_window_t root(int screen = 0) const { return screens_.at(static_cast<std::size_t>(screen))->root; }

    xcb_atom_t atom(const std::string& name);

    xcb_window_t createWindow(const NewWindow& wanted);
    void setTitle(xcb_window_t window, const std::string& title);
    // A property of 32-bit numbers, as a client sets its own hints
    // (_GTK_FRAME_EXTENTS, struts).
    void setCardinals(xcb_window_t window, const std::string& property, const std::vector<std::uint32_t>& values);
    // Fills a rectangle with 0xRRGGBB, in the window's own pixels, and
    // remembers it for repaints.
    void fill(xcb_window_t window, int x, int y, int width, int height, std::uint32_t rgb);
    // Repaints what Expose events ask for.
    void pump();
    // Stores ramp (a channel's index, 0..1 of its entries, to 0..1 of its
    // colour) in each channel of a DirectColor window's own colour map, made
    // writable with an identity ramp as SDL makes it; with replace, in a new
    // map that takes the old one's place.
    void storeRamp(xcb_window_t window, const std::function<double(double)>& ramp, bool replace = false);

    void moveResize(xcb_window_t window, int x, int y, int width, int height);
    void resize(xcb_window_t window, int width, int height);
    void raise(xcb_window_t window);
    void map(xcb_window_t window);
    void unmap(xcb_window_t window);
    void destroy(xcb_window_t window);

    // A round trip: everything sent before has been processed by the server.
    void sync();
    bool isViewable(xcb_window_t window);
    // The window manager maps and reparents in its own time.
    bool waitUntilViewable(xcb_window_t window, bool viewable = true);

    // Sets (or replaces) a RandR monitor over part of a screen. With
    // takesOutput the monitor claims the screen's first output, which hides
    // the server's own monitor for it.
    bool setMonitor(const std::string& name, int x, int y, int width, int height, bool primary,
                    bool takesOutput = false, int screen = 0);
    bool deleteMonitor(const std::string& name, int screen = 0);

private:
    struct Fill {
        int x, y, width, height;
        std::uint32_t rgb;
    };

    void paint(xcb_window_t window, const Fill& fill);
    // A visual and its depth; the first of the screen (of any when none)
    // that the test takes.
    using Visual = std::pair<const xcb_visualtype_t*, std::uint8_t>;
    Visual findVisual(const xcb_screen_t* only,
                      const std::function<bool(std::uint8_t, const xcb_visualtype_t&)>& wanted) const;
    // The nearest pixel to 0xRRGGBB in the window's visual, opaque.
    std::uint32_t pixel(xcb_window_t window, std::uint32_t rgb);

    xcb_connection_t* c_;
    std::vector<xcb_screen_t*> screens_;
    std::map<xcb_window_t, std::vector<Fill>> painted_;
    std::map<xcb_window_t, Visual> visuals_;
    std::map<xcb_window_t, xcb_colormap_t> colourMaps_;
};

} // namespace quillmere::testing
