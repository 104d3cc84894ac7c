#include "QuillmereMac/Views/ViewStyle.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>

#include <algorithm>

namespace quillmere {

QString ViewStyle::breakable(const QString& value) {
    constexpr int longestRun = 16;
    constexpr QChar mayBreak(0x200B);
    QString out;
    int run = 0;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        out += c;
        if (c.isSpace()) {
            run = 0;
            continue;
        }
        // Only inside a word; never after a path's leading slash: alone at a
        // line's end it reads as noise.
        const bool inside = i + 1 < value.size() && !value[i + 1].isSpace();
        const bool separator = (c == u'/' || c == u'-' || c == u'.') && run > 0;
        if ((separator || ++run >= longestRun) && inside) {
            out += mayBreak;
            run = 0;
        }
    }
    return out;
}

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

void ViewStyle::makeProminent(QPushButton* button) {
    button->setDefault(false);
    button->setAutoDefault(false);
    button->setStyleSheet(QStringLiteral(
        "QPushButton { background: palette(highlight); color: palette(highlighted-text); border: none;"
        " border-radius: 5px; padding: 5px 14px; }"
        "QPushButton:pressed { background: palette(dark); }"
        "QPushButton:focus { outline: none; border: 2px solid palette(mid); padding: 3px 12px; }"
        "QPushButton:disabled { background: palette(midlight); color: palette(mid); }"));
}

namespace {

// What the window manager adds around the client area, as Qt knows it; none
// before Qt learnt of the frame, which on X11 may be late.
QMargins knownFrame(const QWidget& window) {
    const QRect inner = window.geometry();
    const QRect outer = window.frameGeometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

// Until then on X11 a title bar and borders are assumed: a window a little
// small for a moment is better than a title bar off the screen.
const QMargins assumedFrame(4, 32, 4, 8);

bool frameGuessed(const QWidget& window) {
    return knownFrame(window).isNull() && !window.windowFlags().testFlag(Qt::FramelessWindowHint) &&
           QGuiApplication::platformName() == QLatin1String("xcb");
}

QMargins frameOf(const QWidget& window) { return frameGuessed(window) ? assumedFrame : knownFrame(window); }

// Puts its window back inside the screen after the events that may move it out.
class ScreenKeeper final : public QObject {
public:
    explicit ScreenKeeper(QWidget* window) : QObject(window), window_(window) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        if (watched == window_ && (type == QEvent::Show || type == QEvent::Move || type == QEvent::Resize) &&
            !pending_) {
            pending_ = true;
            unframedChecks_ = 0;
            QTimer::singleShot(0, this, [this] { check(); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void check() {
        pending_ = false;
        if (!window_->isVisible()) return;
        ViewStyle::keepOnScreen(window_);
        // A window manager may frame the window without a move Qt reports:
        // look again for a while until a frame shows.
        if (knownFrame(*window_).isNull() && ++unframedChecks_ < maxUnframedChecks)
            QTimer::singleShot(100, this, [this] { check(); });
    }

    static constexpr int maxUnframedChecks = 20;
    QWidget* window_;
    bool pending_ = false;
    int unframedChecks_ = 0;
};

} // namespace

void ViewStyle::keepOnScreenAlways(QWidget* window) { new ScreenKeeper(window); }

bool ViewStyle::frameKnown(const QWidget& window) { return !knownFrame(window).isNull(); }

QSize ViewStyle::room(const QWidget& window) {
    const QScreen* screen = window.screen();
    if (screen == nullptr) return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
    return screen->availableGeometry().size().shrunkBy(frameOf(window));
}

void ViewStyle::keepOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (screen == nullptr) return;
    const QRect available = screen->availableGeometry();
    if (!QRect(QPoint(), room(*window)).contains(QRect(QPoint(), window->size())))
        window->resize(window->size().boundedTo(room(*window)));
    const QMargins frame = frameOf(*window);
    const QSize outer = window->size().grownBy(frame);
    // pos() is the frame's corner once Qt knows the frame, the client's before.
    const bool guessed = frameGuessed(*window);
    const QPoint offset = guessed ? QPoint(frame.left(), frame.top()) : QPoint();
    const QPoint at = window->pos() - offset;
    const QPoint inside(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() + 1 - outer.width())),
                        std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() + 1 - outer.height())));
    if (inside != at) window->move(inside + offset);
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
