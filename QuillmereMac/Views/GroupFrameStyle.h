#pragma once

#include <QPixmap>
#include <QProxyStyle>

namespace quillmere {

// Fusion as it is, but for a group box's frame. Fusion draws that frame from
// a faint translucent image, which Qt keeps, on a screen of 30 bits, with two
// bits of alpha: the line and the fill vanish. This style draws the same
// image where Fusion would, kept with its eight bits.
class GroupFrameStyle final : public QProxyStyle {
public:
    // Makes it the application's style while that style is Fusion.
    static void install();

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;

private:
    explicit GroupFrameStyle(QStyle* base);

    QPixmap frame_;
};

} // namespace quillmere
