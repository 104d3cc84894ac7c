#pragma once

#include "Platform/Log/Logger.h"
#include "Platform/ScreenCapture/ColourMapX11.h"
#include "Platform/ScreenCapture/ContentFilter.h"
#include "Platform/ScreenCapture/PixelLayoutX11.h"
#include "Platform/WindowList/ScreenCaptureError.h"
#include "Platform/WindowList/ShareableContent.h"
#include "Platform/WindowList/WindowMarginX11.h"

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class ShmSegmentX11;
class XcbConnection;

// A grabbed image, writable: pixels in shared memory as the target's layout
// has them, or B, G, R, X once converted.
struct ScreenImage {
    std::uint8_t* pixels = nullptr;
    std::size_t bytesPerRow = 0;
    int width = 0;
    int height = 0;
};

// What one capture stream reads: a window through its Composite pixmap (whole
// even when covered, without decorations or the see-through margin its client
// leaves around it) or a display's area of its root.
// Damage says what changed; structure and RandR events say when the content
// moved, changed size, went away or came back.
class CaptureTargetX11 {
public:
    enum class State : std::uint8_t {
        live,
        // A window that is unmapped or not viewable (minimised, other desktop).
        suspended,
        // The window was destroyed.
        destroyed,
        // The display is no longer there.
        gone,
    };

    struct Grab {
        ScreenImage image;
        // Changed areas in content pixels, clipped to the content.
        std::vector<ScreenRect> damage;
        // The content changed size or came back since the previous grab: the
        // damage does not tell everything that changed.
        bool reshaped = false;
    };

    static std::expected<std::unique_ptr<CaptureTargetX11>, ScreenCaptureError> open(XcbConnection& connection,
                                                                                     const ContentFilter& filter);
    ~CaptureTargetX11();
    CaptureTargetX11(const CaptureTargetX11&) = delete;
    CaptureTargetX11& operator=(const CaptureTargetX11&) = delete;

    void handleEvent(const xcb_generic_event_t& event);
    // Looks at the target again where no event would say it changed: a
    // suspended window may be viewable by now (its frame was mapped), a
    // monitor may have been removed or moved (RandR sends nothing for that).
    void recheck();

    State state() const { return state_; }
    // The window took a new size, and its client states its own margin:
    // until the client said the margin that goes with the size, what the
    // user sees of the window is not known. A window manager may pass
    // through sizes on the way; the reshaping lasts until reshaped().
    bool reshaping() const { return reshaping_ != Reshaping::none; }
    bool awaitsMargin() const { return reshaping_ == Reshaping::awaitingMargin; }
    // Raised by every change of the window's size or margin.
    std::uint64_t shapeChanges() const { return shapeChanges_; }
    // Takes the window as it stands, with the margin it has.
    void reshaped() { reshaping_ = Reshaping::none; }
    // Damage arrived since the last grab.
    bool damaged() const { return damaged_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // How grabbed images hold their pixels.
    const PixelLayoutX11& layout() const { return *layout_; }
    // What the pixels stand for when the layout looks them up in a colour
    // map; nothing when the masks alone say it. Replaced, never changed, when
    // the map changes: a grab holds on to the one it converts with.
    const std::shared_ptr<const ColourMapX11>& colours() const { return colours_; }
    xcb_window_t root() const { return root_; }
    // Pointer positions are asked relative to this window; the content's top
    // left sits at pointerOrigin in it.
    xcb_window_t pointerWindow() const { return isWindow_ ? window_ : root_; }
    int pointerOriginX() const { return isWindow_ ? visible_.x : area_.x; }
    int pointerOriginY() const { return isWindow_ ? visible_.y : area_.y; }

    // Sends the damage subtraction and the image request; collectGrab waits
    // for both. The segment must hold height rows of the layout's bytes. A grab that need
    // not be whole copies only the damaged pixels (and refresh, an area drawn
    // over since) into the image the last grab left in the same segment: a
    // moving desktop changes a small part of a large screen each frame. The
    // whole image is read when there is none yet or the content changed shape.
    void requestGrab(ShmSegmentX11& segment, bool whole = true, std::optional<ScreenRect> refresh = std::nullopt);
    // Nothing when the content could not be read (it went away meanwhile).
    std::optional<Grab> collectGrab();

private:
    CaptureTargetX11(XcbConnection& connection, bool isWindow);

    std::optional<ScreenCaptureError> openWindow(xcb_window_t window);
    std::optional<ScreenCaptureError> openDisplay(std::uint32_t displayID);
    void nameWindowPixmap();
    void releaseWindowPixmap();
    void refreshDisplay();
    void setContentSize(int width, int height);
    // Reads the colour map of a layout that looks up; why a palette cannot
    // be shared when its map cannot be read.
    std::optional<ScreenCaptureError> openColours(UnreadablePixels::Content content, xcb_colormap_t map);
    // Reads the colour map again; a change of what the pixels stand for
    // makes every pixel new.
    std::optional<std::string> readColours();
    void setWindowSize(int width, int height);
    void readMargin();
    // A pixmap over the segment to copy damaged areas into; false when the
    // server offers none (no shared pixmaps).
    bool prepareMirror(ShmSegmentX11& segment);
    void releaseMirror();

    XcbConnection& connection_;
    const bool isWindow_;
    State state_ = State::live;
    xcb_window_t root_ = XCB_NONE;
    xcb_window_t window_ = XCB_NONE;
    std::uint32_t displayID_ = 0;
    // The drawable images come from and the content's area in it.
    xcb_drawable_t drawable_ = XCB_NONE;
    ScreenRect area_;
    xcb_pixmap_t pixmap_ = XCB_NONE;
    xcb_damage_damage_t damage_ = XCB_NONE;
    xcb_xfixes_region_t region_ = XCB_NONE;
    int width_ = 0;
    int height_ = 0;
    int border_ = 0;
    // A window's size, its margin and the part inside it, in its own coordinates.
    int windowWidth_ = 0;
    int windowHeight_ = 0;
    WindowMarginX11::Insets margin_;
    bool marginStated_ = false;
    enum class Reshaping : std::uint8_t { none, awaitingMargin, marginCame } reshaping_ = Reshaping::none;
    std::uint64_t shapeChanges_ = 0;
    ScreenRect visible_;
    std::uint8_t depth_ = 24;
    // Known once open succeeded.
    std::optional<PixelLayoutX11> layout_;
    xcb_colormap_t colourMap_ = XCB_NONE;
    std::shared_ptr<const ColourMapX11> colours_;
    // The map could not be read last time, and the log said so.
    bool coloursUnread_ = false;
    Logger log_{"com.ornbeck.quillmere.mac", "pipeline"};
    bool damaged_ = true;
    bool reshaped_ = true;

    // A pixmap over a segment (of the size it was made for), with the
    // graphics contexts that copy damaged areas into it.
    struct Mirror {
        xcb_shm_seg_t segment = XCB_NONE;
        int width = 0;
        int height = 0;
        xcb_pixmap_t pixmap = XCB_NONE;
        xcb_gcontext_t clipped = XCB_NONE;
        xcb_gcontext_t plain = XCB_NONE;
    };
    Mirror mirror_;
    // The segment holding the content's whole image as of the last grab.
    xcb_shm_seg_t currentImage_ = XCB_NONE;
    bool partialGrabs_ = true;

    struct PendingGrab {
        xcb_xfixes_fetch_region_cookie_t region;
        std::optional<xcb_shm_get_image_cookie_t> image;
        std::vector<xcb_void_cookie_t> copies;
        std::uint8_t* pixels;
        xcb_shm_seg_t segment;
        ScreenRect area;
        bool reshaped;
    };
    std::optional<PendingGrab> pending_;
};

} // namespace quillmere
