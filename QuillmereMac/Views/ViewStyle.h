#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QFrame;
class QLabel;
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
    static QFrame* divider(QWidget* parent = nullptr);
    // A vertical scroll area around the content, as wide as its viewport.
    static QScrollArea* scrolling(QWidget* content, QWidget* parent = nullptr);

    static QFont headline(QFont base);
    static QFont title2(QFont base);
    static QColor tint(const QWidget& widget);
};

} // namespace quillmere
