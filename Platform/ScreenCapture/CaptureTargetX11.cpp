#include "Platform/ScreenCapture/CaptureTargetX11.h"

#include "Platform/WindowList/DisplayListX11.h"
#include "Platform/ScreenCapture/ShmSegmentX11.h"
#include "Platform/X11/XcbConnection.h"

#include <xcb/composite.h>
#include <xcb/randr.h>

#include <fmt/format.h>

#include <algorithm>

namespace quillmere {

namespace {

ScreenCaptureError failure(ScreenCaptureError::Code code, std::string detail) {
    return ScreenCaptureError::make(code, std::move(detail));
}

// The layout of a window's or a display's pixels, or why capture cannot read them.
std::expected<PixelLayoutX11, ScreenCaptureError> layoutOf(xcb_connection_t* c, UnreadablePixels::Content content,
                                                           std::uint8_t depth, xcb_visualid_t visualID) {
    const auto visual = PixelLayoutX11::describe(*xcb_get_setup(c), depth, visualID);
    // A visual the setup does not list is read as one of unknown colours.
    const auto layout = PixelLayoutX11::of(visual.value_or(PixelLayoutX11::Visual{.depth = depth}));
    if (layout) return *layout;
    const char* what = content == UnreadablePixels::Content::display ? "screen" : "window";
    ScreenCaptureError error = failure(
        ScreenCaptureError::failedToStart,
        visual ? fmt::format("{} depth {} cannot be read: {} bits a pixel, visual class {}, masks {:#x} {:#x} {:#x}{}",
                             what, depth, visual->bitsPerPixel, visual->visualClass, visual->redMask, visual->greenMask,
                             visual->blueMask, visual->leastSignificantFirst ? "" : ", most significant byte first")
               : fmt::format("{} depth {} cannot be read: visual 0x{:x} is not listed", what, depth, visualID));
    error.unreadable = UnreadablePixels{content, layout.error(), depth};
    return std::unexpected(std::move(error));
}

} // namespace

std::expected<std::unique_ptr<CaptureTargetX11>, ScreenCaptureError> CaptureTargetX11::open(
    XcbConnection& connection, const ContentFilter& filter) {
    const XcbExtensions& extensions = connection.extensions();
    const bool isWindow = filter.kind == ContentFilter::Kind::window;
    if (!extensions.shmFd || !extensions.damage || !extensions.xfixes || (isWindow && !extensions.composite)) {
        return std::unexpected(
            failure(ScreenCaptureError::failedToStart,
                    fmt::format("missing extension: MIT-SHM 1.2 {}, DAMAGE {}, XFIXES 2 {}, Composite 0.2 {}",
                                extensions.shmFd, extensions.damage, extensions.xfixes, extensions.composite)));
    }
    std::unique_ptr<CaptureTargetX11> target(new CaptureTargetX11(connection, isWindow));
    auto error = isWindow ? target->openWindow(filter.identifier) : target->openDisplay(filter.identifier);
    if (error) return std::unexpected(std::move(*error));
    // A new damage object reports everything at once; having that report in
    // hand before the first grab keeps it from asking for a second frame.
    std::free(xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr));
    return target;
}

CaptureTargetX11::CaptureTargetX11(XcbConnection& connection, bool isWindow)
    : connection_(connection), isWindow_(isWindow) {}

CaptureTargetX11::~CaptureTargetX11() {
    xcb_connection_t* c = connection_.get();
    if (pending_) {
        std::free(xcb_xfixes_fetch_region_reply(c, pending_->region, nullptr));
        if (pending_->image) std::free(xcb_shm_get_image_reply(c, *pending_->image, nullptr));
        for (const xcb_void_cookie_t copy : pending_->copies) std::free(xcb_request_check(c, copy));
    }
    releaseMirror();
    if (pixmap_ != XCB_NONE) xcb_free_pixmap(c, pixmap_);
    if (region_ != XCB_NONE) xcb_xfixes_destroy_region(c, region_);
    if (state_ != State::destroyed) {
        if (damage_ != XCB_NONE) xcb_damage_destroy(c, damage_);
        if (isWindow_) xcb_composite_unredirect_window(c, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    }
    xcb_flush(c);
}

std::optional<ScreenCaptureError> CaptureTargetX11::openWindow(xcb_window_t window) {
    xcb_connection_t* c = connection_.get();
    window_ = window;
    // A size changed, a map replaced, installed or taken away, a margin
    // changed: each says so once asked for. Everything is read after asking,
    // so that no change falls in between.
    const std::uint32_t mask =
        XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_COLOR_MAP_CHANGE | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
    auto attributesCookie = xcb_get_window_attributes(c, window);
    auto geometryCookie = xcb_get_geometry(c, window);
    XcbReply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    if (!attributes || !geometry || attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
        return failure(ScreenCaptureError::noCaptureSource, fmt::format("no window 0x{:x}", window));
    }
    // Read at the window's own depth, whatever the screen's.
    auto layout = layoutOf(c, UnreadablePixels::Content::window, geometry->depth, attributes->visual);
    if (!layout) return std::move(layout.error());
    layout_ = *layout;
    root_ = geometry->root;
    border_ = geometry->border_width;
    depth_ = geometry->depth;
    if (auto unread = openColours(UnreadablePixels::Content::window, attributes->colormap)) return unread;
    readMargin();
    setWindowSize(geometry->width, geometry->height);
    auto redirect = connection_.check(
        xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC));
    if (redirect) {
        return failure(ScreenCaptureError::failedToStart,
                       fmt::format("cannot redirect window 0x{:x}: {}", window, describeXcbError(*redirect)));
    }
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    region_ = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region_, 0, nullptr);
    if (attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
        nameWindowPixmap();
    } else {
        state_ = State::suspended;
    }
    return std::nullopt;
}

std::optional<ScreenCaptureError> CaptureTargetX11::openDisplay(std::uint32_t displayID) {
    xcb_connection_t* c = connection_.get();
    displayID_ = displayID;
    auto displays = DisplayListX11::fetch(connection_);
    if (!displays) return displays.error();
    const auto display = DisplayListX11::find(*displays, displayID);
    if (!display) return failure(ScreenCaptureError::noCaptureSource, fmt::format("no display {}", displayID));
    const xcb_screen_t* screen = connection_.screens().at(static_cast<std::size_t>(display->screen));
    auto layout = layoutOf(c, UnreadablePixels::Content::display, screen->root_depth, screen->root_visual);
    if (!layout) return std::move(layout.error());
    layout_ = *layout;
    root_ = screen->root;
    depth_ = screen->root_depth;
    if (auto unread = openColours(UnreadablePixels::Content::display, screen->default_colormap)) return unread;
    drawable_ = root_;
    area_ = display->frame;
    setContentSize(area_.width, area_.height);
    if (connection_.extensions().randrMonitors) {
        xcb_randr_select_input(c, root_,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, root_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    region_ = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region_, 0, nullptr);
    return std::nullopt;
}

std::optional<ScreenCaptureError> CaptureTargetX11::openColours(UnreadablePixels::Content content,
                                                               xcb_colormap_t map) {
    colourMap_ = map;
    if (!layout_->looksUp()) return std::nullopt;
    const auto unread = readColours();
    // Without its map a palette's pixels say nothing.
    if (!unread || layout_->form() != PixelLayoutX11::Form::index8) return std::nullopt;
    ScreenCaptureError error =
        failure(ScreenCaptureError::failedToStart, fmt::format("colour map 0x{:x} cannot be read: {}", map, *unread));
    error.unreadable = UnreadablePixels{content, UnreadablePixels::Cause::colourMap, depth_};
    return error;
}

std::optional<std::string> CaptureTargetX11::readColours() {
    auto read = ColourMapX11::read(connection_, colourMap_, *layout_);
    const bool palette = layout_->form() == PixelLayoutX11::Form::index8;
    if (!read) {
        // A palette keeps the colours it had.
        if (!coloursUnread_ && !palette) {
            log_.error("colour map 0x%{public}x of 0x%{public}x cannot be read (%{public}s): its pixels are taken "
                       "by their masks",
                       colourMap_, isWindow_ ? window_ : root_, read.error());
        }
        coloursUnread_ = true;
        if (!palette && colours_) {
            colours_.reset();
            reshaped_ = true;
            damaged_ = true;
        }
        return read.error();
    }
    coloursUnread_ = false;
    std::shared_ptr<const ColourMapX11> now;
    if (!read->identity()) now = std::make_shared<const ColourMapX11>(std::move(*read));
    if (now && colours_ ? *now == *colours_ : now == colours_) return std::nullopt;
    colours_ = std::move(now);
    reshaped_ = true;
    damaged_ = true;
    return std::nullopt;
}

void CaptureTargetX11::setContentSize(int width, int height) {
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    reshaped_ = true;
    damaged_ = true;
}

void CaptureTargetX11::setWindowSize(int width, int height) {
    windowWidth_ = width;
    windowHeight_ = height;
    visible_ = WindowMarginX11::visible({0, 0, width, height}, margin_);
    setContentSize(visible_.width, visible_.height);
}

void CaptureTargetX11::readMargin() {
    const auto reading = WindowMarginX11::read(connection_, WindowMarginX11::request(connection_, window_, root_));
    margin_ = reading.insets;
    marginStated_ = reading.stated;
}

void CaptureTargetX11::nameWindowPixmap() {
    xcb_connection_t* c = connection_.get();
    releaseWindowPixmap();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    // An unmapped or unviewable window answers BadMatch.
    auto geometryCookie = xcb_get_geometry(c, window_);
    if (connection_.check(xcb_composite_name_window_pixmap_checked(c, window_, pixmap))) {
        std::free(xcb_get_geometry_reply(c, geometryCookie, nullptr));
        state_ = State::suspended;
        return;
    }
    XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    pixmap_ = pixmap;
    drawable_ = pixmap;
    if (geometry) {
        border_ = geometry->border_width;
        setWindowSize(geometry->width, geometry->height);
    }
    area_ = {border_ + visible_.x, border_ + visible_.y, width_, height_};
    state_ = State::live;
    reshaped_ = true;
    damaged_ = true;
}

void CaptureTargetX11::releaseWindowPixmap() {
    if (pixmap_ == XCB_NONE) return;
    xcb_free_pixmap(connection_.get(), pixmap_);
    pixmap_ = XCB_NONE;
    drawable_ = XCB_NONE;
}

void CaptureTargetX11::recheck() {
    // Entries stored into the map change no attribute and send no event.
    if (layout_->looksUp()) readColours();
    if (isWindow_) {
        if (state_ == State::suspended) nameWindowPixmap();
    } else if (state_ == State::live) {
        refreshDisplay();
    }
}

void CaptureTargetX11::refreshDisplay() {
    auto displays = DisplayListX11::fetch(connection_);
    if (!displays) return;
    const auto display = DisplayListX11::find(*displays, displayID_);
    if (!display) {
        state_ = State::gone;
        return;
    }
    if (display->frame == area_) return;
    area_ = display->frame;
    setContentSize(area_.width, area_.height);
}

void CaptureTargetX11::handleEvent(const xcb_generic_event_t& event) {
    const XcbExtensions& extensions = connection_.extensions();
    const std::uint8_t type = event.response_type & 0x7F;
    if (extensions.damage && type == extensions.damageFirstEvent + XCB_DAMAGE_NOTIFY) {
        damaged_ = true;
        return;
    }
    if (!isWindow_) {
        if (extensions.randrMonitors && (type == extensions.randrFirstEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                         type == extensions.randrFirstEvent + XCB_RANDR_NOTIFY)) {
            refreshDisplay();
        }
        return;
    }
    if (state_ == State::destroyed) return;
    switch (type) {
    case XCB_CONFIGURE_NOTIFY: {
        const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
        if (configure.window != window_) return;
        if (configure.width == windowWidth_ && configure.height == windowHeight_ && configure.border_width == border_)
            return;
        if (configure.width != windowWidth_ || configure.height != windowHeight_) {
            ++shapeChanges_;
            // A margin said since the reshaping began goes with this size too.
            if (marginStated_ && reshaping_ == Reshaping::none) reshaping_ = Reshaping::awaitingMargin;
        }
        border_ = configure.border_width;
        setWindowSize(configure.width, configure.height);
        // The named pixmap keeps the old size: name the new one.
        if (state_ == State::live) nameWindowPixmap();
        return;
    }
    case XCB_PROPERTY_NOTIFY: {
        const auto& property = reinterpret_cast<const xcb_property_notify_event_t&>(event);
        if (property.window != window_ || !WindowMarginX11::tellsMargin(connection_, property.atom)) return;
        // A maximised window drops its shadow: the content moves and changes size.
        const ScreenRect before = visible_;
        readMargin();
        ++shapeChanges_;
        if (reshaping_ == Reshaping::awaitingMargin) reshaping_ = Reshaping::marginCame;
        setWindowSize(windowWidth_, windowHeight_);
        if (visible_ != before && state_ == State::live) nameWindowPixmap();
        return;
    }
    case XCB_MAP_NOTIFY:
        if (reinterpret_cast<const xcb_map_notify_event_t&>(event).window == window_) nameWindowPixmap();
        return;
    case XCB_UNMAP_NOTIFY:
        if (reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window != window_) return;
        releaseWindowPixmap();
        state_ = State::suspended;
        return;
    case XCB_DESTROY_NOTIFY:
        if (reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window != window_) return;
        releaseWindowPixmap();
        state_ = State::destroyed;
        return;
    case XCB_COLORMAP_NOTIFY: {
        const auto& notify = reinterpret_cast<const xcb_colormap_notify_event_t&>(event);
        if (notify.window != window_) return;
        if (notify._new) colourMap_ = notify.colormap;
        if (layout_->looksUp()) readColours();
        return;
    }
    default:
        return;
    }
}

bool CaptureTargetX11::prepareMirror(ShmSegmentX11& segment) {
    if (mirror_.pixmap != XCB_NONE && mirror_.segment == segment.segment() && mirror_.width == width_ &&
        mirror_.height == height_) {
        return true;
    }
    releaseMirror();
    xcb_connection_t* c = connection_.get();
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    if (connection_.check(xcb_shm_create_pixmap_checked(c, pixmap, root_, static_cast<std::uint16_t>(width_),
                                                        static_cast<std::uint16_t>(height_), depth_,
                                                        segment.segment(), 0))) {
        partialGrabs_ = false;
        return false;
    }
    mirror_.pixmap = pixmap;
    mirror_.segment = segment.segment();
    mirror_.width = width_;
    mirror_.height = height_;
    // The root's picture includes its children's; copies raise no exposure events.
    const std::uint32_t values[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
    const std::uint32_t mask = XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES;
    mirror_.clipped = xcb_generate_id(c);
    xcb_create_gc(c, mirror_.clipped, pixmap, mask, values);
    mirror_.plain = xcb_generate_id(c);
    xcb_create_gc(c, mirror_.plain, pixmap, mask, values);
    return true;
}

void CaptureTargetX11::releaseMirror() {
    xcb_connection_t* c = connection_.get();
    if (mirror_.clipped != XCB_NONE) xcb_free_gc(c, mirror_.clipped);
    if (mirror_.plain != XCB_NONE) xcb_free_gc(c, mirror_.plain);
    if (mirror_.pixmap != XCB_NONE) xcb_free_pixmap(c, mirror_.pixmap);
    mirror_ = Mirror{};
}

void CaptureTargetX11::requestGrab(ShmSegmentX11& segment, bool whole, std::optional<ScreenRect> refresh) {
    xcb_connection_t* c = connection_.get();
    const bool partial = !whole && !reshaped_ && partialGrabs_ && currentImage_ == segment.segment() &&
                         prepareMirror(segment);
    currentImage_ = XCB_NONE;
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    PendingGrab pending{{}, std::nullopt, {}, segment.data(), segment.segment(), area_, reshaped_};
    if (partial) {
        if (refresh) {
            pending.copies.push_back(xcb_copy_area_checked(
                c, drawable_, mirror_.pixmap, mirror_.plain, static_cast<std::int16_t>(area_.x + refresh->x),
                static_cast<std::int16_t>(area_.y + refresh->y), static_cast<std::int16_t>(refresh->x),
                static_cast<std::int16_t>(refresh->y), static_cast<std::uint16_t>(refresh->width),
                static_cast<std::uint16_t>(refresh->height)));
        }
        // The damage, in the window's own coordinates for a window and the
        // root's for a display, clips one copy of the whole content.
        const int offsetX = isWindow_ ? visible_.x : area_.x;
        const int offsetY = isWindow_ ? visible_.y : area_.y;
        xcb_xfixes_set_gc_clip_region(c, mirror_.clipped, region_, static_cast<std::int16_t>(-offsetX),
                                      static_cast<std::int16_t>(-offsetY));
        pending.copies.push_back(xcb_copy_area_checked(
            c, drawable_, mirror_.pixmap, mirror_.clipped, static_cast<std::int16_t>(area_.x),
            static_cast<std::int16_t>(area_.y), 0, 0, static_cast<std::uint16_t>(width_),
            static_cast<std::uint16_t>(height_)));
    } else {
        pending.image = xcb_shm_get_image(c, drawable_, static_cast<std::int16_t>(area_.x),
                                          static_cast<std::int16_t>(area_.y), static_cast<std::uint16_t>(width_),
                                          static_cast<std::uint16_t>(height_), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                          segment.segment(), 0);
    }
    // Asked last: its reply comes once the copies are done.
    pending.region = xcb_xfixes_fetch_region(c, region_);
    pending_ = std::move(pending);
    damaged_ = false;
    reshaped_ = false;
    connection_.flush();
}

std::optional<CaptureTargetX11::Grab> CaptureTargetX11::collectGrab() {
    if (!pending_) return std::nullopt;
    const PendingGrab pending = std::move(*pending_);
    pending_.reset();
    xcb_connection_t* c = connection_.get();
    bool read = true;
    if (pending.image) {
        xcb_generic_error_t* rawError = nullptr;
        XcbReply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(c, *pending.image, &rawError));
        XcbReply<xcb_generic_error_t> error(rawError);
        const std::size_t expected =
            layout_->bytesPerRow(pending.area.width) * static_cast<std::size_t>(pending.area.height);
        read = image && image->size >= expected;
    }
    XcbReply<xcb_xfixes_fetch_region_reply_t> region(xcb_xfixes_fetch_region_reply(c, pending.region, nullptr));
    for (const xcb_void_cookie_t copy : pending.copies) {
        if (connection_.check(copy)) read = false;
    }
    if (!read) {
        // The window stopped being viewable between its event and the grab.
        if (isWindow_ && state_ == State::live) {
            releaseWindowPixmap();
            state_ = State::suspended;
        }
        return std::nullopt;
    }
    Grab grab;
    grab.image = {pending.pixels, layout_->bytesPerRow(pending.area.width), pending.area.width, pending.area.height};
    grab.reshaped = pending.reshaped;
    // The image stays current only while the damage after it is known.
    if (region) currentImage_ = pending.segment;
    if (region) {
        // Window damage is in window coordinates, root damage in the root's.
        const int offsetX = isWindow_ ? visible_.x : pending.area.x;
        const int offsetY = isWindow_ ? visible_.y : pending.area.y;
        const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.get());
        const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
        for (int i = 0; i < count; ++i) {
            const int left = std::max(rects[i].x - offsetX, 0);
            const int top = std::max(rects[i].y - offsetY, 0);
            const int right = std::min(rects[i].x - offsetX + rects[i].width, pending.area.width);
            const int bottom = std::min(rects[i].y - offsetY + rects[i].height, pending.area.height);
            if (right > left && bottom > top) grab.damage.push_back({left, top, right - left, bottom - top});
        }
    } else {
        grab.reshaped = true;
    }
    return grab;
}

} // namespace quillmere
