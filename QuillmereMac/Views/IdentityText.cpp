#include "QuillmereMac/Views/IdentityText.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QTextDocument>

#include <cmath>
#include <memory>

namespace quillmere {

IdentityText::IdentityText(const QString& text, QWidget* parent) : QTextEdit(parent) {
    setReadOnly(true);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setPlainText(text);
    setFrameShape(QFrame::NoFrame);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAnywhere);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setAutoFillBackground(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Shrinkable, so that layouts take its minimum as it is (see below).
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

int IdentityText::heightFor(int viewportWidth) const {
    std::unique_ptr<QTextDocument> layout(document()->clone());
    layout->setTextWidth(std::max(1, viewportWidth));
    return static_cast<int>(std::ceil(layout->size().height())) + 2 * frameWidth();
}

int IdentityText::heightForWidth(int width) const { return heightFor(width - 2 * frameWidth()); }

QSize IdentityText::sizeHint() const {
    const int width = QFontMetrics(font()).horizontalAdvance(toPlainText()) / 2;
    return {width, heightForWidth(width)};
}

QSize IdentityText::minimumSizeHint() const {
    const int width = QFontMetrics(font()).horizontalAdvance(QString(8, QChar('0')));
    // One line's height: a layout adds up its items' minimum heights, each
    // at the item's own narrowest, and a page whose text fits would scroll.
    // The height at the width given comes from heightForWidth.
    return {width, heightForWidth(QWIDGETSIZE_MAX)};
}

void IdentityText::resizeEvent(QResizeEvent* event) {
    QTextEdit::resizeEvent(event);
    const int wanted = heightFor(viewport()->width());
    if (wanted != height()) setFixedHeight(wanted);
}

} // namespace quillmere
