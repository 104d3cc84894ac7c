#include "QuillmereMac/App/StatusView.h"

#include "QuillmereMac/Views/SymbolImage.h"
#include "QuillmereMac/Views/ViewStyle.h"

#include <QAction>
#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

namespace quillmere {

namespace {

QString text(const std::string& value) { return QString::fromStdString(value); }

QLabel* wrapping(const QString& value, const char* objectName, QWidget* parent) {
    QLabel* label = ViewStyle::text(value, parent);
    label->setObjectName(objectName);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* secondary(const QString& value, const char* objectName, QWidget* parent) {
    QLabel* label = wrapping(value, objectName, parent);
    ViewStyle::makeSecondary(label);
    return label;
}

QColor secondaryColor(const QWidget& widget) {
    QColor color = widget.palette().color(QPalette::WindowText);
    color.setAlphaF(static_cast<float>(ViewStyle::secondaryOpacity));
    return color;
}

QLabel* symbol(std::string_view name, int size, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(SymbolImage::pixmap(name, size, color));
    label->setObjectName(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    label->setFixedSize(size, size);
    label->setAccessibleName(QString());
    return label;
}

// A label with a symbol before it, as one row.
QWidget* labelled(std::string_view name, const QString& value, const char* objectName, QWidget* parent,
                  bool headline) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(symbol(name, 18, parent->palette().color(QPalette::WindowText), row), 0, Qt::AlignTop);
    QLabel* label = wrapping(value, objectName, row);
    if (headline) label->setFont(ViewStyle::headline(label->font()));
    layout->addWidget(label, 1);
    return row;
}

QGroupBox* group(const QString& title, const char* objectName, QWidget* parent, int spacing) {
    auto* box = new QGroupBox(title, parent);
    box->setObjectName(objectName);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(spacing);
    return box;
}

QPushButton* button(const QString& title, const char* objectName, QWidget* parent, std::function<void()> action) {
    auto* pushButton = new QPushButton(title, parent);
    pushButton->setObjectName(objectName);
    QObject::connect(pushButton, &QPushButton::clicked, pushButton, [action = std::move(action)] {
        if (action) action();
    });
    return pushButton;
}

} // namespace

StatusView::StatusView(HostStatusModel& model, std::shared_ptr<ConsentCenter> consent, Actions actions,
                       QWidget* parent)
    : QScrollArea(parent), model_(model), consent_(std::move(consent)), actions_(std::move(actions)) {
    setObjectName("statusView");
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setMinimumSize(420, 460);
    connect(&model_, &HostStatusModel::statusChanged, this, &StatusView::refresh);
    connect(&model_, &HostStatusModel::captureProblemChanged, this, &StatusView::refresh);
    connect(&model_, &HostStatusModel::settingsFileProblemChanged, this, &StatusView::refresh);
    if (consent_) {
        QPointer<StatusView> weak(this);
        // Also told of sessions approved automatically, which it does not show.
        consentObserver_ = consent_->addObserver([weak] {
            if (weak) weak->refresh();
        });
    }
    rebuild();
}

StatusView::~StatusView() {
    if (consent_) consent_->removeObserver(consentObserver_);
}

QString StatusView::pairedCountText(std::size_t count) {
    if (count == 1) return QStringLiteral("1 paired iPhone.");
    return QString::asprintf("%lld", static_cast<long long>(count)) + QStringLiteral(" paired iPhones.");
}

QString StatusView::requestText(const ConsentCenter::Request& request) {
    return QStringLiteral("\u201C") + text(request.deviceName) + QStringLiteral("\u201D wants to view \u201C") +
           text(request.windowTitle.value_or("")) + QStringLiteral("\u201D.");
}

StatusView::Shown StatusView::shownNow() const {
    const HostStatus& status = model_.status();
    Shown shown{model_.headline(),    status.phase,      status.permissions,        status.pairedDevices.size(),
                status.activeSession, status.lastError, model_.captureProblem(), {},
                model_.settingsFileProblem()};
    if (consent_) shown.pending = consent_->pending();
    return shown;
}

void StatusView::refresh() {
    if (shown_ != shownNow()) rebuild();
}

void StatusView::rebuild() {
    shown_ = shownNow();
    auto* content = new QWidget;
    content->setObjectName("statusContent");
    auto* outer = new QHBoxLayout(content);
    outer->setContentsMargins(24, 24, 24, 24);
    auto* columnWidget = new QWidget(content);
    columnWidget->setMaximumWidth(720);
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(24);
    // The column fills the window up to its widest, then stays centred.
    outer->addStretch(0);
    outer->addWidget(columnWidget, 1);
    outer->addStretch(0);

    addTitle(*column);
    addErrorBanner(*column);
    addRequests(*column);
    addPermissions(*column);
    addIPhone(*column);
    column->addWidget(secondary(QStringLiteral("Only paired iPhones can connect. Manage automatic access in Settings."),
                                "footnote", columnWidget));
    column->addStretch(1);
    // Where the user was: the scroll position and the focused control, found
    // again in the new content by its names.
    const int scrolled = verticalScrollBar()->value();
    const QStringList focusPath = focusedPath();
    // Later, not now: a button of the old content may be the one whose
    // click led here.
    if (QWidget* old = takeWidget()) {
        old->hide();
        old->deleteLater();
    }
    setWidget(content);
    content->layout()->activate();
    verticalScrollBar()->setValue(scrolled);
    if (QWidget* focus = widgetAt(focusPath)) focus->setFocus(Qt::OtherFocusReason);
    // Again once the new content has its size: the range may have been short.
    QPointer<QWidget> shown(content);
    QTimer::singleShot(0, this, [this, shown, scrolled] {
        if (shown && widget() == shown) verticalScrollBar()->setValue(scrolled);
    });
}

QStringList StatusView::focusedPath() const {
    QStringList path;
    const QWidget* content = widget();
    QWidget* focus = QApplication::focusWidget();
    if (content == nullptr || focus == nullptr || !content->isAncestorOf(focus)) return path;
    for (const QWidget* at = focus; at != content; at = at->parentWidget()) {
        // Among same-named siblings, which one.
        const QWidget* parent = at->parentWidget();
        int index = 0;
        for (const QWidget* sibling : parent->findChildren<QWidget*>(at->objectName(), Qt::FindDirectChildrenOnly)) {
            if (sibling == at) break;
            ++index;
        }
        path.prepend(at->objectName() + QLatin1Char('#') + QString::number(index));
    }
    return path;
}

QWidget* StatusView::widgetAt(const QStringList& path) const {
    QWidget* at = widget();
    for (const QString& step : path) {
        if (at == nullptr) return nullptr;
        const qsizetype mark = step.lastIndexOf(QLatin1Char('#'));
        const auto found = at->findChildren<QWidget*>(step.left(mark), Qt::FindDirectChildrenOnly);
        const int index = step.mid(mark + 1).toInt();
        at = index < found.size() ? found[index] : nullptr;
    }
    return path.isEmpty() ? nullptr : at;
}

void StatusView::addTitle(QVBoxLayout& column) {
    QWidget* parent = column.parentWidget();
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(16);
    layout->addWidget(symbol("rectangle.on.rectangle", 36, ViewStyle::tint(*this), row), 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(5);
    QLabel* title = wrapping(QStringLiteral("Your computer, within reach"), "title", row);
    title->setFont(ViewStyle::title2(title->font()));
    texts->addWidget(title);
    const bool session = model_.status().activeSession.has_value();
    QWidget* headline = labelled(session ? "iphone" : "dot.radiowaves.left.and.right", text(model_.headline()),
                                 "headline", row, false);
    ViewStyle::makeSecondary(headline);
    texts->addWidget(headline);
    layout->addLayout(texts, 1);
    column.addWidget(row);
}

void StatusView::addErrorBanner(QVBoxLayout& column) {
    if (const auto& problem = model_.settingsFileProblem())
        addBanner(column, *problem, "settingsFileBanner", "settingsFileText", QStringLiteral("Settings problem: "));
    if (const auto& error = model_.status().lastError)
        addBanner(column, *error, "errorBanner", "errorText", QStringLiteral("Host error: "));
    if (const auto& problem = model_.captureProblem())
        addBanner(column, *problem, "captureBanner", "captureText", QStringLiteral("Sharing problem: "));
}

void StatusView::addBanner(QVBoxLayout& column, const std::string& message, const char* name, const char* textName,
                           const QString& accessiblePrefix) {
    QWidget* parent = column.parentWidget();
    auto* banner = new QFrame(parent);
    banner->setObjectName(name);
    banner->setAccessibleName(accessiblePrefix + text(message));
    banner->setAutoFillBackground(true);
    banner->setStyleSheet(QStringLiteral("#%1 { background: palette(button); border-radius: 10px; }").arg(name));
    auto* layout = new QHBoxLayout(banner);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(labelled("exclamationmark.triangle", ViewStyle::breakable(text(message)), textName, banner, false));
    column.addWidget(banner);
}

void StatusView::addRequests(QVBoxLayout& column) {
    if (!consent_ || consent_->pending().empty()) return;
    QGroupBox* box = group(QStringLiteral("Sharing Requests"), "sharingRequests", column.parentWidget(), 16);
    for (const auto& request : consent_->pending()) {
        auto* row = new QWidget(box);
        row->setObjectName(QStringLiteral("request-%1").arg(request.id));
        auto* layout = new QVBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(10);
        layout->addWidget(wrapping(requestText(request), "requestText", row));
        auto* buttons = new QHBoxLayout;
        std::weak_ptr<ConsentCenter> consent = consent_;
        const std::uint64_t id = request.id;
        buttons->addWidget(button(QStringLiteral("Don\u2019t Allow"), "deny", row, [consent, id] {
            if (auto center = consent.lock()) center->resolve(id, false);
        }));
        QPushButton* allow = button(QStringLiteral("Allow This Session"), "allow", row, [consent, id] {
            if (auto center = consent.lock()) center->resolve(id, true);
        });
        // Prominent, yet Return presses neither answer.
        ViewStyle::makeProminent(allow);
        buttons->addWidget(allow);
        buttons->addStretch(1);
        layout->addLayout(buttons);
        box->layout()->addWidget(row);
    }
    column.addWidget(box);
}

void StatusView::addPermissions(QVBoxLayout& column) {
    QGroupBox* box = group(QStringLiteral("Computer Permissions"), "permissions", column.parentWidget(), 16);
    const auto& permissions = model_.status().permissions;
    struct Row {
        const char* name;
        QString title;
        QString explanation;
        bool allowed;
        std::function<void()> request;
    };
    const Row rows[] = {
        {"screenRecording", QStringLiteral("Screen Recording"), QStringLiteral("Share the window you select."),
         permissions.screenRecording == PermissionState::granted, actions_.requestScreenRecording},
        {"accessibility", QStringLiteral("Accessibility"),
         QStringLiteral("Use the iPhone\u2019s keyboard and pointer to control your computer."),
         permissions.accessibility == PermissionState::granted, actions_.requestAccessibility},
    };
    bool first = true;
    for (const Row& row : rows) {
        if (!first) box->layout()->addWidget(ViewStyle::divider(box));
        first = false;
        auto* rowWidget = new QWidget(box);
        rowWidget->setObjectName(row.name);
        auto* layout = new QVBoxLayout(rowWidget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(8);
        auto* top = new QHBoxLayout;
        top->setSpacing(10);
        top->addWidget(symbol(row.allowed ? "checkmark.circle.fill" : "exclamationmark.circle", 18,
                              row.allowed ? palette().color(QPalette::WindowText) : secondaryColor(*this), rowWidget));
        QLabel* title = wrapping(row.title, "permissionTitle", rowWidget);
        title->setFont(ViewStyle::headline(title->font()));
        top->addWidget(title);
        top->addWidget(secondary(row.allowed ? QStringLiteral("Allowed") : QStringLiteral("Needed"), "permissionState",
                                 rowWidget));
        top->addStretch(1);
        layout->addLayout(top);
        layout->addWidget(secondary(row.explanation, "permissionExplanation", rowWidget));
        if (!row.allowed) {
            QPushButton* allow =
                button(QStringLiteral("Allow ") + row.title + QStringLiteral("\u2026"), "allowPermission", rowWidget,
                       row.request);
            allow->setToolTip(QStringLiteral("Open the system permission request for ") + row.title);
            auto* buttonRow = new QHBoxLayout;
            buttonRow->addWidget(allow);
            buttonRow->addStretch(1);
            layout->addLayout(buttonRow);
        }
        box->layout()->addWidget(rowWidget);
    }
    column.addWidget(box);
}

void StatusView::addIPhone(QVBoxLayout& column) {
    QGroupBox* box = group(QStringLiteral("iPhone"), "iPhone", column.parentWidget(), 12);
    const HostStatus& status = model_.status();
    QPushButton* action = nullptr;
    if (status.pairedDevices.empty()) {
        box->layout()->addWidget(labelled("iphone", QStringLiteral("Connect your first iPhone"), "iPhoneLabel", box, true));
        box->layout()->addWidget(secondary(QStringLiteral("Pair once, then open a window of this computer from Quillmere on your "
                                                          "iPhone. Keep both devices on the same network."),
                                           "iPhoneText", box));
        action = button(QStringLiteral("Pair iPhone\u2026"), "pairButton", box, actions_.pair);
        ViewStyle::makeProminent(action);
    } else {
        const bool session = status.activeSession.has_value();
        const QString label = session ? QStringLiteral("Connected: ") + text(*status.activeSession)
                                      : QStringLiteral("Waiting for your iPhone");
        box->layout()->addWidget(labelled(session ? "iphone" : "iphone.slash", label, "iPhoneLabel", box, true));
        box->layout()->addWidget(secondary(pairedCountText(status.pairedDevices.size()), "iPhoneText", box));
        action = button(QStringLiteral("Manage iPhones\u2026"), "manageButton", box, actions_.settings);
    }
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(action);
    buttonRow->addStretch(1);
    static_cast<QVBoxLayout*>(box->layout())->addLayout(buttonRow);
    column.addWidget(box);
}

QToolBar* StatusView::makeToolBar(QWidget* parent) {
    auto* bar = new QToolBar(parent);
    bar->setObjectName("statusToolBar");
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    const QColor color = palette().color(QPalette::WindowText);
    struct Item {
        const char* name;
        QString title;
        std::string_view symbolName;
        QString help;
        std::function<void()> action;
    };
    QPointer<HostStatusModel> model(&model_);
    const Item items[] = {
        {"refresh", QStringLiteral("Refresh"), "arrow.clockwise", QStringLiteral("Check this computer\u2019s permissions again"),
         [model] {
             if (model) model->refreshPermissions();
         }},
        {"settings", QStringLiteral("Settings\u2026"), "gearshape", QStringLiteral("Connections, iPhones and app options"),
         actions_.settings},
        {"pair", QStringLiteral("Pair iPhone\u2026"), "plus", QStringLiteral("Connect another iPhone"), actions_.pair},
    };
    for (const Item& item : items) {
        QAction* action = bar->addAction(SymbolImage::icon(item.symbolName, color), item.title);
        action->setObjectName(item.name);
        action->setToolTip(item.help);
        connect(action, &QAction::triggered, bar, [run = item.action] {
            if (run) run();
        });
    }
    return bar;
}

} // namespace quillmere
