#pragma once

#include "Platform/Accessibility/WindowSystem.h"
#include "QuillmereMac/Catalog/ControlTarget.h"
#include "QuillmereMac/Geometry/Rect.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// How well a window matches the target: 0 for the same title and frame,
// larger the further off. A title counts only when both have one.
double matchScore(const std::optional<std::string>& title, const std::optional<Rect>& frame,
                  const ControlTarget& target);

// r moved (and shrunk where larger) to lie inside c; r itself when either
// has no area.
Rect fitRect(const Rect& r, const Rect& c);

// Whether the application's front window is the one at frame, within 8
// pixels in all; no front window at all counts as on top.
bool isOnTop(const std::optional<Rect>& bounds, const Rect& frame);

// Moves the window, its decorations included, into the visible part of the
// display it overlaps most. The client area it was given, or nothing when
// it already fitted (or has no frame, or there is no display).
std::optional<Rect> fitToScreen(WindowSystem& system, WindowSystem::Window window);

// The process that has the keys, unless it is own.
std::optional<std::int32_t> frontmostOtherPID(WindowSystem& system, std::int32_t own);

Rect rectOf(const ScreenRect& rect);

} // namespace quillmere
