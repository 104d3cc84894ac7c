#include "QuillmereMac/Views/ViewStyle.h"

#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QScrollArea>
#include <QWidget>

namespace quillmere {

QLabel* ViewStyle::text(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* ViewStyle::secondaryText(const QString& text, QWidget* parent) {
    QLabel* label = ViewStyle::text(text, parent);
    makeSecondary(label);
    return label;
}

void ViewStyle::makeSecondary(QWidget* widget) {
    QPalette palette = widget->palette();
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText}) {
        QColor color = palette.color(role);
        color.setAlphaF(static_cast<float>(secondaryOpacity));
        palette.setColor(role, color);
    }
    widget->setPalette(palette);
}

QFrame* ViewStyle::divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QScrollArea* ViewStyle::scrolling(QWidget* content, QWidget* parent) {
    auto* area = new QScrollArea(parent);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setWidget(content);
    // The page keeps the colour of what it sits on.
    area->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    return area;
}

QFont ViewStyle::headline(QFont base) {
    base.setWeight(QFont::DemiBold);
    return base;
}

QFont ViewStyle::title2(QFont base) {
    if (base.pointSizeF() > 0) base.setPointSizeF(base.pointSizeF() * 1.45);
    base.setWeight(QFont::DemiBold);
    return base;
}

QColor ViewStyle::tint(const QWidget& widget) { return widget.palette().color(QPalette::Highlight); }

} // namespace quillmere
