#include "QuillmereMac/App/SymbolIcons.h"

#include <QPainter>
#include <QPainterPath>

#include <array>
#include <functional>
#include <utility>

namespace quillmere {

namespace {

// Each drawing is made on a 24 x 24 grid.
using Drawing = void (*)(QPainter&, const QColor&);

void phone(QPainter& p, const QColor&) {
    p.drawRoundedRect(QRectF(7, 2.5, 10, 19), 2.5, 2.5);
    p.drawLine(QPointF(10.5, 18.5), QPointF(13.5, 18.5));
}

const std::array<std::pair<std::string_view, Drawing>, 17> drawings{{
    {"rectangle.on.rectangle",
     [](QPainter& p, const QColor&) {
         p.drawRoundedRect(QRectF(3, 8, 13, 11), 2, 2);
         p.drawPolyline(QPolygonF({QPointF(8, 5), QPointF(21, 5), QPointF(21, 15)}));
     }},
    {"record.circle.fill",
     [](QPainter& p, const QColor& c) {
         p.setBrush(c);
         p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
         p.setBrush(Qt::white);
         p.setPen(Qt::NoPen);
         p.drawEllipse(QRectF(8, 8, 8, 8));
     }},
    {"iphone", phone},
    {"iphone.slash",
     [](QPainter& p, const QColor& c) {
         phone(p, c);
         p.drawLine(QPointF(3, 3), QPointF(21, 21));
     }},
    {"iphone.and.arrow.forward",
     [](QPainter& p, const QColor&) {
         p.drawRoundedRect(QRectF(3, 2.5, 9, 19), 2.5, 2.5);
         p.drawLine(QPointF(14, 12), QPointF(22, 12));
         p.drawPolyline(QPolygonF({QPointF(19, 9), QPointF(22, 12), QPointF(19, 15)}));
     }},
    {"dot.radiowaves.left.and.right",
     [](QPainter& p, const QColor& c) {
         p.setBrush(c);
         p.drawEllipse(QPointF(12, 12), 2, 2);
         p.setBrush(Qt::NoBrush);
         p.drawArc(QRectF(5, 5, 14, 14), 120 * 16, 120 * 16);
         p.drawArc(QRectF(5, 5, 14, 14), -60 * 16, 120 * 16);
     }},
    {"checkmark.circle.fill",
     [](QPainter& p, const QColor& c) {
         p.setBrush(c);
         p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
         p.setPen(QPen(Qt::white, 2.2));
         p.drawPolyline(QPolygonF({QPointF(7.5, 12.5), QPointF(10.5, 15.5), QPointF(16.5, 8.5)}));
     }},
    {"exclamationmark.circle",
     [](QPainter& p, const QColor&) {
         p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
         p.drawLine(QPointF(12, 7), QPointF(12, 13.5));
         p.drawPoint(QPointF(12, 17));
     }},
    {"exclamationmark.triangle",
     [](QPainter& p, const QColor&) {
         p.drawPolygon(QPolygonF({QPointF(12, 3), QPointF(22, 20.5), QPointF(2, 20.5)}));
         p.drawLine(QPointF(12, 9), QPointF(12, 14.5));
         p.drawPoint(QPointF(12, 17.5));
     }},
    {"arrow.clockwise",
     [](QPainter& p, const QColor&) {
         p.drawArc(QRectF(4, 4, 16, 16), 60 * 16, 300 * 16);
         p.drawPolyline(QPolygonF({QPointF(14, 2.5), QPointF(17.5, 5.5), QPointF(14, 8.5)}));
     }},
    {"gearshape",
     [](QPainter& p, const QColor&) {
         p.drawEllipse(QPointF(12, 12), 6, 6);
         p.drawEllipse(QPointF(12, 12), 2.5, 2.5);
         for (int i = 0; i < 8; ++i) {
             p.save();
             p.translate(12, 12);
             p.rotate(45.0 * i);
             p.drawLine(QPointF(0, -6), QPointF(0, -9.5));
             p.restore();
         }
     }},
    {"plus",
     [](QPainter& p, const QColor&) {
         p.drawLine(QPointF(12, 4), QPointF(12, 20));
         p.drawLine(QPointF(4, 12), QPointF(20, 12));
     }},
    {"clock",
     [](QPainter& p, const QColor&) {
         p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
         p.drawPolyline(QPolygonF({QPointF(12, 6.5), QPointF(12, 12), QPointF(16, 14)}));
     }},
    {"checkmark.shield",
     [](QPainter& p, const QColor&) {
         QPainterPath shield;
         shield.moveTo(12, 2.5);
         shield.lineTo(20, 5.5);
         shield.cubicTo(20, 14, 16.5, 19, 12, 21.5);
         shield.cubicTo(7.5, 19, 4, 14, 4, 5.5);
         shield.closeSubpath();
         p.drawPath(shield);
         p.drawPolyline(QPolygonF({QPointF(8.5, 12), QPointF(11, 14.5), QPointF(15.5, 9)}));
     }},
    {"hammer",
     [](QPainter& p, const QColor&) {
         p.drawLine(QPointF(6, 20), QPointF(15, 11));
         p.drawRect(QRectF(12, 3, 9, 6));
     }},
    {"info.circle",
     [](QPainter& p, const QColor&) {
         p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
         p.drawPoint(QPointF(12, 7.5));
         p.drawLine(QPointF(12, 11), QPointF(12, 17));
     }},
    {"xmark.circle",
     [](QPainter& p, const QColor&) {
         p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
         p.drawLine(QPointF(8.5, 8.5), QPointF(15.5, 15.5));
         p.drawLine(QPointF(15.5, 8.5), QPointF(8.5, 15.5));
     }},
}};

Drawing find(std::string_view name) {
    for (const auto& [known, drawing] : drawings) {
        if (known == name) return drawing;
    }
    return nullptr;
}

} // namespace

bool SymbolIcons::known(std::string_view name) { return find(name) != nullptr; }

QPixmap SymbolIcons::pixmap(std::string_view name, int size, const QColor& color) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 24.0, size / 24.0);
    painter.setPen(QPen(color, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    if (const Drawing drawing = find(name)) drawing(painter, color);
    else painter.drawEllipse(QRectF(4, 4, 16, 16));
    return pixmap;
}

QIcon SymbolIcons::icon(std::string_view name, const QColor& color) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(pixmap(name, size, color));
    return icon;
}

} // namespace quillmere
