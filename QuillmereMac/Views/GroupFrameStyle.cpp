#include "QuillmereMac/Views/GroupFrameStyle.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPicture>
#include <QStyleFactory>
#include <QStyleOption>
#include <qdrawutil.h>

namespace quillmere {

namespace {

constexpr const char* fusion = "fusion";
constexpr const char* frameImage = ":/qt-project.org/styles/commonstyle/images/fusion_groupbox.png";
// The image's corners, as Fusion cuts it.
constexpr QMargins corners(6, 6, 6, 6);

} // namespace

GroupFrameStyle::GroupFrameStyle(QStyle* base)
    : QProxyStyle(base),
      frame_(QPixmap::fromImage(QImage(QLatin1String(frameImage)), Qt::NoFormatConversion)) {}

void GroupFrameStyle::install() {
    if (QApplication::style()->name() != QLatin1String(fusion)) return;
    QApplication::setStyle(new GroupFrameStyle(QStyleFactory::create(QLatin1String(fusion))));
}

void GroupFrameStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                   const QWidget* widget) const {
    if (element != PE_FrameGroupBox || frame_.isNull())
        return QProxyStyle::drawPrimitive(element, option, painter, widget);
    // Where Fusion puts the frame below the title differs between Qt
    // versions: its own drawing, recorded, says.
    QPicture fusionFrame;
    QPainter recorder(&fusionFrame);
    QProxyStyle::drawPrimitive(element, option, &recorder, widget);
    recorder.end();
    qDrawBorderPixmap(painter, fusionFrame.boundingRect(), corners, frame_);
}

} // namespace quillmere
