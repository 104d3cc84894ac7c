#pragma once

#include <QColor>
#include <QFont>
#include <QSize>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QScrollArea;
class QWidget;

namespace quillmere {

// The look the windows share: explanatory text in the label colour at 80 %
// opacity, headline and title fonts, dividers, and pages that scroll
// vertically so that no text is ever cut off.
struct ViewStyle {
    static constexpr double secondaryOpacity = 0.8;

    // Word-wrapped, secondary.
    static QLabel* secondaryText(const QString& text, QWidget* parent = nullptr);
    static void makeSecondary(QWidget* widget);
    // Word-wrapped, in the label colour.
    static QLabel* text(const QString& text, QWidget* parent = nullptr);
    // Text that may name whole paths, words longer than a window is wide:
    // it may break after a slash, a dash, a dot or every so many letters.
    static QString breakable(const QString& value);
    static QFrame* divider(QWidget* parent = nullptr);
    // A vertical scroll area around the content, as wide as its viewport.
    static QScrollArea* scrolling(QWidget* content, QWidget* parent = nullptr);

    // The accented look of a window's main button, without Qt's
    // default-button frame: Return does not press it.
    static void makeProminent(QPushButton* button);
    // Shrinks a window to its screen's available area, frame included, and
    // moves it inside that area.
    static void keepOnScreen(QWidget* window);
    // keepOnScreen again whenever the window is shown, moved or resized:
    // the window manager's frame is known only once it framed the window.
    static void keepOnScreenAlways(QWidget* window);
    // Whether Qt knows the window manager's frame around the window.
    static bool frameKnown(const QWidget& window);
    // The client size a window may have on its screen, its frame left out.
    static QSize room(const QWidget& window);

    static QFont headline(QFont base);
    static QFont title2(QFont base);
    static QColor tint(const QWidget& widget);
};

} // namespace quillmere
