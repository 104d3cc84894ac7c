#include "QuillmereMac/Views/PairingView.h"

#include "QuillmereMac/Views/SymbolImage.h"
#include "QuillmereMac/Views/ViewStyle.h"

#include "Platform/QRCode/QRCodeImage.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <variant>

namespace quillmere {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// A label with its symbol in front, as one row.
QWidget* labelled(const char* symbol, QLabel* text, const QFont& font) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* icon = new QLabel;
    icon->setPixmap(SymbolImage::pixmap(symbol, QFontMetrics(font).height(), text->palette().color(QPalette::WindowText),
                                        text->devicePixelRatioF()));
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addWidget(text, 1);
    return row;
}

QPushButton* button(const QString& title, const char* name, bool prominent = false) {
    auto* b = new QPushButton(title);
    b->setObjectName(name);
    if (prominent) ViewStyle::makeProminent(b);
    return b;
}

// The button answers the key too, while its section is shown.
void bindKey(QPushButton* b, QWidget* section, Qt::Key key) {
    auto* shortcut = new QShortcut(QKeySequence(key), section);
    QObject::connect(shortcut, &QShortcut::activated, b, &QPushButton::click);
}

// A bar that moves while something takes as long as it takes.
QProgressBar* busy() {
    auto* progress = new QProgressBar;
    progress->setObjectName("progress");
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    return progress;
}

QHBoxLayout* leading(QWidget* first, QWidget* second = nullptr) {
    auto* row = new QHBoxLayout;
    row->addWidget(first);
    if (second != nullptr) row->addWidget(second);
    row->addStretch();
    return row;
}

} // namespace

PairingView::PairingView(std::shared_ptr<EnrollmentService> service, EnrollmentService::Now now, QWidget* parent)
    : QWidget(parent), service_(std::move(service)), now_(std::move(now)) {
    setObjectName("pairingView");
    setMinimumSize(420, 460);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);

    auto* content = new QWidget;
    auto* centred = new QHBoxLayout(content);
    centred->setContentsMargins(0, 0, 0, 0);
    auto* column = new QWidget;
    column->setMaximumWidth(620);
    centred->addWidget(column);
    column_ = new QVBoxLayout(column);
    column_->setContentsMargins(24, 24, 24, 24);
    column_->setSpacing(20);
    scroll_ = ViewStyle::scrolling(content, this);
    // The code is never scaled down; a narrow window scrolls sideways instead.
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    outer->addWidget(scroll_);

    QLabel* title = ViewStyle::text("Connect your iPhone");
    title->setObjectName("title");
    title->setFont(ViewStyle::title2(font()));
    column_->addWidget(labelled("iphone.and.arrow.forward", title, title->font()));
    column_->addWidget(ViewStyle::secondaryText("Pair once. Bring your computer’s windows into Quillmere."));
    column_->addWidget(ViewStyle::divider());
    column_->addStretch();

    ticker_ = new QTimer(this);
    ticker_->setInterval(1000);
    connect(ticker_, &QTimer::timeout, this, [this] { updateCountdown(); });
    ticker_->start();

    QPointer<PairingView> view(this);
    service_->observe([view](const EnrollmentService::State&) {
        if (view) view->refresh();
    });
    refresh();
}

QString PairingView::countdownText(std::uint64_t expiresAt, std::uint64_t now) {
    const std::uint64_t remaining = expiresAt > now ? expiresAt - now : 0;
    const std::uint64_t minutes = remaining / 60;
    return QString::asprintf("Code expires in %llu:%02llu", static_cast<unsigned long long>(minutes),
                             static_cast<unsigned long long>(remaining - 60 * minutes));
}

QString PairingView::approvalTitle(const std::string& deviceName) {
    return QString("Approve “%1” ?").arg(QString::fromStdString(deviceName));
}

QString PairingView::savingTitle(const std::string& deviceName) {
    return QString("Saving “%1” to the paired iPhones…").arg(QString::fromStdString(deviceName));
}

void PairingView::refresh() {
    const EnrollmentService::State& state = service_->state();
    if (!shown_ || *shown_ != state) {
        shown_ = state;
        if (section_) {
            // Later: the old section's own button may be what led here.
            section_->hide();
            section_->setParent(nullptr);
            section_->deleteLater();
        }
        countdown_ = nullptr;
        qr_ = nullptr;
        section_ = makeSection(state);
        column_->insertWidget(column_->count() - 1, section_);
        section_->show();
        if (std::holds_alternative<EnrollmentState::Showing>(state)) fitWindow();
    }
    updateCountdown();
}

void PairingView::updateCountdown() {
    if (countdown_) countdown_->setText(countdownText(expiresAt_, now_()));
}

QWidget* PairingView::makeSection(const EnrollmentState::Value& state) {
    auto* section = new QWidget;
    auto* layout = new QVBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    const auto instructionsText = [] {
        QLabel* label = ViewStyle::text(instructions);
        label->setObjectName("instructions");
        return label;
    };
    const auto cancelButton = [&](const QString& title, const char* name) {
        QPushButton* cancel = button(title, name);
        connect(cancel, &QPushButton::clicked, this, [this] { service_->cancel(cancelledMessage); });
        bindKey(cancel, section, Qt::Key_Escape);
        return cancel;
    };
    const auto startButton = [&](const QString& title, const char* name) {
        QPushButton* start = button(title, name, true);
        connect(start, &QPushButton::clicked, this, [this] { service_->start(lifetimeSeconds); });
        return start;
    };

    std::visit(
        Overloaded{
            [&](const EnrollmentState::Idle&) {
                layout->addWidget(instructionsText());
                layout->addLayout(leading(startButton("Show Pairing Code", "showPairingCode")));
            },
            [&](const EnrollmentState::Starting&) {
                layout->addWidget(instructionsText());
                layout->addWidget(busy());
                layout->addWidget(ViewStyle::text("Preparing a secure pairing code…"));
                layout->addLayout(leading(cancelButton("Cancel", "cancel")));
            },
            [&](const EnrollmentState::Showing& showing) {
                layout->addWidget(showingSection(showing));
                layout->addWidget(instructionsText());
                layout->addWidget(
                    ViewStyle::secondaryText("Approve only the iPhone you are pairing. This code is temporary."));
                layout->addLayout(leading(cancelButton("Cancel Pairing", "cancelPairing")));
            },
            [&](const EnrollmentState::AwaitingApproval& awaiting) {
                QLabel* title = ViewStyle::text(approvalTitle(awaiting.deviceName));
                title->setObjectName("approvalTitle");
                title->setFont(ViewStyle::headline(font()));
                layout->addWidget(labelled("checkmark.shield", title, title->font()));
                layout->addWidget(ViewStyle::text(
                    "Approve only if this is your iPhone. Paired iPhones can view and control the windows of this computer they "
                    "select when automatic connections are enabled in Settings."));
                QPushButton* deny = button("Don’t Allow", "dontAllow");
                const std::uint64_t token = awaiting.token;
                connect(deny, &QPushButton::clicked, this, [this, token] { service_->decide(token, false); });
                bindKey(deny, section, Qt::Key_Escape);
                QPushButton* approve = button("Approve iPhone", "approve", true);
                connect(approve, &QPushButton::clicked, this, [this, token] { service_->decide(token, true); });
                bindKey(approve, section, Qt::Key_Return);
                bindKey(approve, section, Qt::Key_Enter);
                layout->addLayout(leading(deny, approve));
            },
            [&](const EnrollmentState::Saving& saving) {
                // Another Quillmere of this account may hold the paired devices for a while.
                QLabel* title = ViewStyle::text(savingTitle(saving.deviceName));
                title->setObjectName("savingTitle");
                title->setFont(ViewStyle::headline(font()));
                layout->addWidget(title);
                layout->addWidget(busy());
            },
            [&](const EnrollmentState::Finished& finished) {
                // A failure names the file that could not be written.
                QLabel* message = ViewStyle::text(ViewStyle::breakable(QString::fromStdString(finished.message)));
                message->setObjectName("finishedMessage");
                message->setFont(ViewStyle::headline(font()));
                layout->addWidget(message);
                layout->addWidget(ViewStyle::secondaryText("If pairing completed, select a window of this computer on your iPhone. "
                                                           "Otherwise, show a new code to try again."));
                layout->addLayout(leading(startButton("Show New Pairing Code", "showNewPairingCode")));
            },
        },
        state);
    return section;
}

QWidget* PairingView::showingSection(const EnrollmentState::Showing& showing) {
    auto* code = new QWidget;
    auto* layout = new QVBoxLayout(code);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    invitation_ = showing.text;
    qr_ = nullptr;
    fittedRoomHeight_ = -1;
    if (const auto plain = QRCodeImage::make(invitation_, 1)) {
        qrModules_ = plain->width();
        auto* frame = new QWidget;
        frame->setObjectName("qrFrame");
        frame->setAttribute(Qt::WA_StyledBackground);
        frame->setStyleSheet("#qrFrame { background: white; border-radius: 16px; }");
        auto* inner = new QVBoxLayout(frame);
        inner->setContentsMargins(qrMargin, qrMargin, qrMargin, qrMargin);
        qr_ = new QLabel;
        qr_->setObjectName("qrCode");
        qr_->setAccessibleName("Pairing QR code. Scan using Quillmere on your iPhone.");
        inner->addWidget(qr_);
        layout->addWidget(frame, 0, Qt::AlignHCenter);
        setQRScale(qrScale);
    }
    auto* countdown = new QLabel;
    countdown->setObjectName("countdown");
    // The system font's digits are all of one width: the text does not jitter as it counts.
    const QFont digits = font();
    ViewStyle::makeSecondary(countdown);
    countdown_ = countdown;
    expiresAt_ = showing.expiresAt;
    updateCountdown();
    layout->addWidget(labelled("clock", countdown, digits), 0, Qt::AlignHCenter);
    return code;
}

void PairingView::setQRScale(int scale) {
    const auto image = QRCodeImage::make(invitation_, scale);
    if (!qr_ || !image) return;
    shownQRScale_ = scale;
    // One image pixel per screen pixel: square, sharp modules.
    QPixmap pixmap = QPixmap::fromImage(*image);
    pixmap.setDevicePixelRatio(1.0);
    qr_->setPixmap(pixmap);
    qr_->setFixedSize(pixmap.size());
    qr_->parentWidget()->setFixedSize(pixmap.size() + QSize(2 * qrMargin, 2 * qrMargin));
}

int PairingView::fittingQRScale(int modules, int preferred, int heightAtPreferred, int roomHeight) {
    if (heightAtPreferred <= roomHeight || modules <= 0) return preferred;
    const int over = heightAtPreferred - roomHeight;
    // Whole pixels per module only: each step down frees one per module.
    const int steps = (over + modules - 1) / modules;
    return std::max(minimumQRScale, preferred - steps);
}

QSize PairingView::wantedWindowSize() const {
    // From the content alone, not from the window's present layout, which may
    // be half done while the window manager moves and frames it.
    const QWidget* top = window();
    const QLayout* outer = top->layout();
    const int bar = outer != nullptr && outer->menuBar() != nullptr ? outer->menuBar()->sizeHint().height() : 0;
    const QWidget* content = scroll_->widget();
    // Qt passes a new size hint up one widget per turn of the event loop:
    // pass the code's at once, or its old size is what gets measured.
    for (QWidget* inside = qr_ ? qr_->parentWidget() : nullptr; inside != nullptr && inside != content;
         inside = inside->parentWidget())
        inside->updateGeometry();
    content->layout()->activate();
    const int width = std::max(top->width(), content->minimumSizeHint().width());
    const int height = content->hasHeightForWidth() ? content->heightForWidth(width) : content->sizeHint().height();
    return {width, height + bar};
}

void PairingView::fitWindow() {
    QWidget* top = window();
    if (!top->isVisible()) return;
    const QSize room = ViewStyle::room(*top);
    if (qr_ && room.height() != fittedRoomHeight_) {
        // Decided at the preferred size, once per room: heights read right
        // after the code changed size may not be laid out yet.
        if (shownQRScale_ != qrScale) {
            setQRScale(qrScale);
            refitSoon();
            return;
        }
        fittedRoomHeight_ = room.height();
        int fitting = fittingQRScale(qrModules_, qrScale, wantedWindowSize().height(), room.height());
        if (fitting != shownQRScale_) setQRScale(fitting);
        // The estimate holds the width: a smaller code narrows the window,
        // and the text below it may wrap into more lines than measured.
        while (fitting > minimumQRScale && wantedWindowSize().height() > room.height()) setQRScale(--fitting);
    }
    const QSize wanted = wantedWindowSize().boundedTo(room);
    if (wanted.width() > top->width() || wanted.height() > top->height()) top->resize(wanted.expandedTo(top->size()));
    ViewStyle::keepOnScreen(top);
}

void PairingView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Resized by the window manager or by the user: the code may fit better.
    if (qr_) refitSoon();
}

void PairingView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refitSoon();
    framePolls_ = 0;
    pollFrame();
}

void PairingView::refitSoon() {
    if (refitting_) return;
    refitting_ = true;
    QPointer<PairingView> view(this);
    QTimer::singleShot(0, this, [view] {
        if (!view) return;
        view->refitting_ = false;
        view->fitWindow();
    });
}

void PairingView::pollFrame() {
    // The room depends on the window manager's frame, which Qt may learn of
    // late and without an event.
    if (ViewStyle::frameKnown(*window())) {
        fitWindow();
        return;
    }
    if (++framePolls_ >= maxFramePolls) return;
    QPointer<PairingView> view(this);
    QTimer::singleShot(100, this, [view] {
        if (view) view->pollFrame();
    });
}

} // namespace quillmere
