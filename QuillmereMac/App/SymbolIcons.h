#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

#include <string_view>

namespace quillmere {

// The program's own drawings of the symbols its windows and tray icon name
// ("rectangle.on.rectangle", "record.circle.fill", "iphone", ...), so that
// no icon theme is needed. An unknown name draws a plain circle.
class SymbolIcons {
public:
    static QPixmap pixmap(std::string_view name, int size, const QColor& color);
    static QIcon icon(std::string_view name, const QColor& color);
    // Whether the name has a drawing of its own.
    static bool known(std::string_view name);
};

} // namespace quillmere
