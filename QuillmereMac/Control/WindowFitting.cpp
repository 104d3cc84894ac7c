#include "QuillmereMac/Control/WindowFitting.h"

#include <algorithm>
#include <cmath>

namespace quillmere {

namespace {

double overlapArea(const Rect& a, const Rect& b) {
    const double width = std::min(a.maxX(), b.maxX()) - std::max(a.minX(), b.minX());
    const double height = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
    return width > 0 && height > 0 ? width * height : 0;
}

ScreenRect pixelsOf(const Rect& rect) {
    return {static_cast<int>(std::lround(rect.x)), static_cast<int>(std::lround(rect.y)),
            static_cast<int>(std::lround(rect.width)), static_cast<int>(std::lround(rect.height))};
}

} // namespace

Rect rectOf(const ScreenRect& rect) {
    return {static_cast<double>(rect.x), static_cast<double>(rect.y), static_cast<double>(rect.width),
            static_cast<double>(rect.height)};
}

double matchScore(const std::optional<std::string>& title, const std::optional<Rect>& frame,
                  const ControlTarget& target) {
    const double titlePart = title && target.title && *title == *target.title ? 0 : 1'000'000;
    if (!frame) return titlePart + 500'000;
    return titlePart + std::abs(frame->minX() - target.frame.minX()) + std::abs(frame->minY() - target.frame.minY()) +
           std::abs(frame->width - target.frame.width) + std::abs(frame->height - target.frame.height);
}

Rect fitRect(const Rect& r, const Rect& c) {
    if (!(r.width > 0 && r.height > 0 && c.width > 0 && c.height > 0)) return r;
    const double w = std::min(r.width, c.width);
    const double h = std::min(r.height, c.height);
    const double x = std::min(c.maxX() - w, std::max(r.minX(), c.minX()));
    const double y = std::min(c.maxY() - h, std::max(r.minY(), c.minY()));
    return {x, y, w, h};
}

bool isOnTop(const std::optional<Rect>& bounds, const Rect& frame) {
    if (!bounds) return true;
    const double distance = std::abs(bounds->minX() - frame.minX()) + std::abs(bounds->minY() - frame.minY()) +
                            std::abs(bounds->width - frame.width) + std::abs(bounds->height - frame.height);
    return distance < 8.0;
}

std::optional<Rect> fitToScreen(WindowSystem& system, WindowSystem::Window window) {
    const std::optional<ScreenRect> frame = system.frame(window);
    if (!frame) return std::nullopt;
    const std::vector<ScreenRect> screens = system.visibleScreenFrames();
    if (screens.empty()) return std::nullopt;

    // The title bar must land on screen too, or the window cannot be dragged.
    const WindowSystem::Insets d = system.decorations(window);
    const Rect client = rectOf(*frame);
    const Rect outer{client.x - d.left, client.y - d.top, client.width + d.left + d.right,
                     client.height + d.top + d.bottom};
    Rect screen = rectOf(screens.front());
    double largest = overlapArea(outer, screen);
    for (std::size_t i = 1; i < screens.size(); ++i) {
        const Rect candidate = rectOf(screens[i]);
        if (const double area = overlapArea(outer, candidate); area > largest) {
            largest = area;
            screen = candidate;
        }
    }
    const Rect fitted = fitRect(outer, screen);
    if (fitted == outer) return std::nullopt;
    const Rect moved{fitted.x + d.left, fitted.y + d.top, std::max(fitted.width - d.left - d.right, 1.0),
                     std::max(fitted.height - d.top - d.bottom, 1.0)};
    system.setFrame(window, pixelsOf(moved), moved.width != client.width || moved.height != client.height);
    return moved;
}

std::optional<std::int32_t> frontmostOtherPID(WindowSystem& system, std::int32_t own) {
    const auto pid = system.frontmostApplication();
    if (!pid || *pid == own) return std::nullopt;
    return pid;
}

} // namespace quillmere
