#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

#include <string_view>

namespace quillmere {

// The symbols the windows show, drawn by the program so that no icon theme
// is needed, and named as the system's symbols are ("gearshape", "iphone").
struct SymbolImage {
    static bool has(std::string_view name);
    // size x size device-independent pixels; transparent for an unknown name.
    static QPixmap pixmap(std::string_view name, int size, const QColor& color, qreal devicePixelRatio = 1.0);
    static QIcon icon(std::string_view name, const QColor& color);
    // The program's own icon: its symbol in white on a blue rounded square.
    static QIcon applicationIcon();
};

} // namespace quillmere
