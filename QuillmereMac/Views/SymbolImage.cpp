#include "QuillmereMac/Views/SymbolImage.h"

#include <QApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOption>

#include <cmath>
#include <functional>
#include <map>
#include <numbers>
#include <string>
#include <vector>

namespace quillmere {

namespace {

// Each symbol is drawn in a 24 x 24 box with a pen of the symbol's colour.
using Draw = std::function<void(QPainter&)>;

void phone(QPainter& p, QRectF body) {
    p.drawRoundedRect(body, body.width() * 0.22, body.width() * 0.22);
    p.drawLine(QPointF(body.center().x() - 1.5, body.top() + 2), QPointF(body.center().x() + 1.5, body.top() + 2));
}

void gear(QPainter& p) {
    QPainterPath teeth;
    for (int i = 0; i < 8; ++i) {
        const double angle = i * std::numbers::pi / 4;
        const QPointF inner(12 + 7 * std::cos(angle), 12 + 7 * std::sin(angle));
        const QPointF outer(12 + 10.5 * std::cos(angle), 12 + 10.5 * std::sin(angle));
        teeth.moveTo(inner);
        teeth.lineTo(outer);
    }
    QPen pen = p.pen();
    pen.setWidthF(3.2);
    p.save();
    p.setPen(pen);
    p.drawPath(teeth);
    p.restore();
    p.drawEllipse(QPointF(12, 12), 7, 7);
    p.drawEllipse(QPointF(12, 12), 2.8, 2.8);
}

void hammer(QPainter& p) {
    QPen pen = p.pen();
    pen.setWidthF(2.6);
    p.save();
    p.setPen(pen);
    p.drawLine(QPointF(5, 20), QPointF(14, 11));
    p.restore();
    QPainterPath head;
    head.moveTo(10, 6);
    head.lineTo(15, 3);
    head.lineTo(21, 9);
    head.lineTo(18, 12);
    head.lineTo(15, 9);
    head.lineTo(13, 9);
    head.closeSubpath();
    p.drawPath(head);
}

void shield(QPainter& p) {
    QPainterPath path;
    path.moveTo(12, 2.5);
    path.lineTo(20, 5.5);
    path.cubicTo(20, 13, 17, 18.5, 12, 21.5);
    path.cubicTo(7, 18.5, 4, 13, 4, 5.5);
    path.closeSubpath();
    p.drawPath(path);
    p.drawPolyline(QPolygonF({QPointF(8.5, 12), QPointF(11, 14.5), QPointF(15.5, 9)}));
}

void clock(QPainter& p) {
    p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
    p.drawPolyline(QPolygonF({QPointF(12, 6.5), QPointF(12, 12), QPointF(16, 14)}));
}

// Filled shapes take the pen's colour.
void disc(QPainter& p) {
    p.setBrush(p.pen().color());
    p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
}

void circleMark(QPainter& p, const std::vector<QPointF>& mark) {
    disc(p);
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF(QList<QPointF>(mark.begin(), mark.end())));
}

const std::map<std::string, Draw, std::less<>>& symbols() {
    static const std::map<std::string, Draw, std::less<>> table = {
        {"gearshape", gear},
        {"iphone", [](QPainter& p) { phone(p, QRectF(7, 2, 10, 20)); }},
        {"hammer", hammer},
        {"info.circle",
         [](QPainter& p) {
             p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
             p.drawLine(QPointF(12, 10.5), QPointF(12, 17));
             p.drawPoint(QPointF(12, 7.2));
         }},
        {"rectangle.on.rectangle",
         [](QPainter& p) {
             p.drawRoundedRect(QRectF(7, 4, 15, 11), 2.5, 2.5);
             p.drawPolyline(QPolygonF({QPointF(4.5, 8), QPointF(2.5, 8), QPointF(2.5, 20), QPointF(17, 20),
                                       QPointF(17, 17.5)}));
         }},
        {"iphone.and.arrow.forward",
         [](QPainter& p) {
             phone(p, QRectF(3, 2, 10, 20));
             p.drawLine(QPointF(15, 12), QPointF(22, 12));
             p.drawPolyline(QPolygonF({QPointF(19, 9), QPointF(22, 12), QPointF(19, 15)}));
         }},
        {"checkmark.shield", shield},
        {"clock", clock},
        {"record.circle.fill",
         [](QPainter& p) {
             disc(p);
             p.setPen(Qt::NoPen);
             p.setBrush(Qt::white);
             p.drawEllipse(QPointF(12, 12), 4, 4);
         }},
        {"iphone.slash",
         [](QPainter& p) {
             phone(p, QRectF(7, 2, 10, 20));
             p.drawLine(QPointF(3, 3), QPointF(21, 21));
         }},
        {"dot.radiowaves.left.and.right",
         [](QPainter& p) {
             p.save();
             p.setBrush(p.pen().color());
             p.drawEllipse(QPointF(12, 12), 2, 2);
             p.restore();
             p.drawArc(QRectF(5, 5, 14, 14), 120 * 16, 120 * 16);
             p.drawArc(QRectF(5, 5, 14, 14), -60 * 16, 120 * 16);
         }},
        {"checkmark.circle.fill",
         [](QPainter& p) { circleMark(p, {QPointF(7.5, 12.5), QPointF(10.5, 15.5), QPointF(16.5, 8.5)}); }},
        {"exclamationmark.circle",
         [](QPainter& p) {
             p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
             p.drawLine(QPointF(12, 7), QPointF(12, 13.5));
             p.drawPoint(QPointF(12, 17));
         }},
        {"exclamationmark.triangle",
         [](QPainter& p) {
             p.drawPolygon(QPolygonF({QPointF(12, 3), QPointF(22, 20.5), QPointF(2, 20.5)}));
             p.drawLine(QPointF(12, 9), QPointF(12, 14.5));
             p.drawPoint(QPointF(12, 17.5));
         }},
        {"arrow.clockwise",
         [](QPainter& p) {
             p.drawArc(QRectF(4, 4, 16, 16), 60 * 16, 300 * 16);
             p.drawPolyline(QPolygonF({QPointF(14, 2.5), QPointF(17.5, 5.5), QPointF(14, 8.5)}));
         }},
        {"plus",
         [](QPainter& p) {
             p.drawLine(QPointF(12, 4), QPointF(12, 20));
             p.drawLine(QPointF(4, 12), QPointF(20, 12));
         }},
    };
    return table;
}

// On a screen of 30 bits Qt makes pixmaps with two bits of alpha, which
// leaves a symbol's smooth edges jagged: symbols are drawn into images of
// eight bits and kept in that format.
QImage clearImage(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QPixmap kept(const QImage& image) { return QPixmap::fromImage(image, Qt::NoFormatConversion); }

// Draws the symbol at the size asked for: a pixmap Qt scaled would be
// converted to the screen's format again.
class SymbolIconEngine final : public QIconEngine {
public:
    SymbolIconEngine(std::string name, QColor color) : name_(std::move(name)), color_(color) {}

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {QSize(16, 16), QSize(24, 24), QSize(32, 32), QSize(48, 48)};
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        return styled(SymbolImage::pixmap(name_, std::min(size.width(), size.height()), color_), mode);
    }
    // QIcon has centred the square already.
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal ratio = painter->device()->devicePixelRatioF();
        painter->drawPixmap(rect.topLeft(), styled(SymbolImage::pixmap(name_, rect.width(), color_, ratio), mode));
    }
    QIconEngine* clone() const override { return new SymbolIconEngine(*this); }

private:
    // Disabled and selected looks come of the style, as for other icons.
    static QPixmap styled(const QPixmap& drawn, QIcon::Mode mode) {
        if (mode == QIcon::Normal) return drawn;
        QStyleOption option;
        option.palette = QApplication::palette();
        const QPixmap generated = QApplication::style()->generatedIconPixmap(mode, drawn, &option);
        return generated.isNull() ? drawn : generated;
    }

    std::string name_;
    QColor color_;
};

} // namespace

bool SymbolImage::has(std::string_view name) { return symbols().find(name) != symbols().end(); }

QPixmap SymbolImage::pixmap(std::string_view name, int size, const QColor& color, qreal devicePixelRatio) {
    const int pixels = std::max(1, static_cast<int>(std::lround(size * devicePixelRatio)));
    QImage image = clearImage(pixels);
    image.setDevicePixelRatio(devicePixelRatio);
    const auto found = symbols().find(name);
    if (found == symbols().end()) return kept(image);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    QPen pen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    found->second(painter);
    painter.end();
    return kept(image);
}

QIcon SymbolImage::icon(std::string_view name, const QColor& color) {
    return QIcon(new SymbolIconEngine(std::string(name), color));
}

QIcon SymbolImage::applicationIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128}) {
        QImage image = clearImage(size);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(10, 110, 230));
        painter.drawRoundedRect(QRectF(0, 0, size, size), size * 0.22, size * 0.22);
        const int inset = size / 6;
        painter.drawPixmap(inset, inset, pixmap("rectangle.on.rectangle", size - 2 * inset, Qt::white));
        painter.end();
        icon.addPixmap(kept(image));
    }
    return icon;
}

} // namespace quillmere
