#include "QuillmereMac/Views/HostSettingsView.h"

#include "Platform/Dispatch/MainQueue.h"
#include "QuillmereMac/Views/IdentityText.h"
#include "QuillmereMac/Views/SymbolImage.h"
#include "QuillmereMac/Views/ViewStyle.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmere {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// Parentless until a tab takes it: a page made as a child of the tab widget
// would be drawn over the current tab.
QWidget* page(QVBoxLayout*& layout) {
    auto* content = new QWidget;
    layout = new QVBoxLayout(content);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(8);
    return ViewStyle::scrolling(content);
}

QCheckBox* toggle(const QString& title, const char* name) {
    auto* box = new QCheckBox(title);
    box->setObjectName(name);
    return box;
}

} // namespace

HostSettingsView::HostSettingsView(Model model, Defaults& defaults, std::function<void()> pair,
                                   std::function<void()> exportDiagnostics, BundleInfo bundle, QWidget* parent)
    : QWidget(parent),
      model_(std::move(model)),
      defaults_(defaults),
      pair_(std::move(pair)),
      exportDiagnostics_(std::move(exportDiagnostics)),
      bundle_(std::move(bundle)) {
    setObjectName("settingsView");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName("tabs");
    layout->addWidget(tabs_);
    // Under the tabs, so that it shows on whichever tab the switch was.
    settingsProblemRow_ = problemRow(settingsProblem_, "settingsProblem");
    settingsProblemRow_->layout()->setContentsMargins(4, 4, 4, 0);
    layout->addWidget(settingsProblemRow_);

    const QColor symbolColor = palette().color(QPalette::WindowText);
    tabs_->addTab(makeGeneral(), SymbolImage::icon("gearshape", symbolColor), "General");
    tabs_->addTab(makeIPhones(), SymbolImage::icon("iphone", symbolColor), "iPhones");
    tabs_->addTab(makeAbout(), SymbolImage::icon("info.circle", symbolColor), "About");

    // Told on the thread that wrote.
    for (const char* key : {autoApproveKey, testPatternKey, developerUnlockedKey, wifiPriorityKey, normalRateControlKey})
        observers_.push_back(defaults_.observe(key, [view = QPointer<HostSettingsView>(this)](const std::string&) {
            MainQueue::shared().async([view] {
                if (view) view->refresh();
            });
        }));
    if (const auto engine = model_.engine.lock()) {
        QPointer<HostSettingsView> view(this);
        engineObserver_ = engine->addObserver([view](const HostStatus&) {
            if (view) view->refresh();
        });
    }
    refresh();
}

HostSettingsView::~HostSettingsView() {
    for (const Defaults::ObserverID id : observers_) defaults_.removeObserver(id);
    if (const auto engine = model_.engine.lock(); engine && engineObserver_) engine->removeObserver(*engineObserver_);
}

QWidget* HostSettingsView::makeGeneral() {
    QVBoxLayout* layout = nullptr;
    QWidget* general = page(layout);
    general->setObjectName("generalTab");

    autoApprove_ = toggle("Allow automatic connections", "autoApprove");
    connect(autoApprove_, &QCheckBox::clicked, this, [this](bool on) {
        if (model_.setAutoApprove) model_.setAutoApprove(on);
        refresh();
    });
    layout->addWidget(autoApprove_);
    layout->addWidget(
        ViewStyle::secondaryText("Paired iPhones can view and control the windows they select without another request."));
    auto* clipboard = new QHBoxLayout;
    clipboard->addWidget(new QLabel("Clipboard"));
    clipboard->addStretch();
    QLabel* asks = ViewStyle::secondaryText("Asks each time");
    asks->setObjectName("clipboardValue");
    asks->setWordWrap(false);
    clipboard->addWidget(asks);
    layout->addLayout(clipboard);

    layout->addWidget(ViewStyle::divider());
    openAtLogin_ = toggle("Open at login", "openAtLogin");
    connect(openAtLogin_, &QCheckBox::clicked, this, [this](bool on) {
        if (model_.setOpenAtLogin) model_.setOpenAtLogin(on);
        // Back to the system's real state when the change failed.
        refresh();
    });
    layout->addWidget(openAtLogin_);
    layout->addWidget(ViewStyle::secondaryText("Quillmere is ready whenever your iPhone connects."));
    loginItemProblem_ = ViewStyle::secondaryText({});
    loginItemProblem_->setObjectName("loginItemProblem");
    layout->addWidget(loginItemProblem_);
    layout->addStretch();
    return general;
}

QWidget* HostSettingsView::makeIPhones() {
    QVBoxLayout* layout = nullptr;
    QWidget* iphones = page(layout);
    iphones->setObjectName("iphonesTab");
    deviceList_ = new QVBoxLayout;
    deviceList_->setSpacing(12);
    layout->addLayout(deviceList_);
    // Beside the list, where a removal that was not saved was made.
    trustProblemRow_ = problemRow(trustProblem_, "trustProblem");
    layout->addWidget(trustProblemRow_);
    layout->addWidget(ViewStyle::divider());
    auto* pairAnother = new QPushButton("Pair another iPhone…");
    pairAnother->setObjectName("pairAnother");
    connect(pairAnother, &QPushButton::clicked, this, [this] {
        if (pair_) pair_();
    });
    auto* row = new QHBoxLayout;
    row->addWidget(pairAnother);
    row->addStretch();
    layout->addLayout(row);
    layout->addStretch();
    return iphones;
}

QWidget* HostSettingsView::makeDeveloper() {
    QVBoxLayout* layout = nullptr;
    QWidget* developer = page(layout);
    developer->setObjectName("developerTab");
    testPattern_ = toggle("Offer test pattern", "testPattern");
    connect(testPattern_, &QCheckBox::clicked, this, [this](bool on) {
        if (model_.setTestPattern) model_.setTestPattern(on);
        refresh();
    });
    layout->addWidget(testPattern_);
    layout->addWidget(ViewStyle::secondaryText("Adds a test window for checking text clarity and display performance."));
    wifiPriority_ = toggle(wifiPriorityTitle, "wifiPriority");
    connect(wifiPriority_, &QCheckBox::clicked, this,
            [this](bool on) { setSwitch(wifiPriorityTitle, wifiPriorityKey, on); });
    layout->addWidget(wifiPriority_);
    normalRateControl_ = toggle(normalRateControlTitle, "normalRateControl");
    connect(normalRateControl_, &QCheckBox::clicked, this,
            [this](bool on) { setSwitch(normalRateControlTitle, normalRateControlKey, on); });
    layout->addWidget(normalRateControl_);
    layout->addWidget(ViewStyle::secondaryText("Off: low-latency rate control (default). Applies on the next connection."));
    layout->addWidget(ViewStyle::divider());
    auto* diagnostics = new QPushButton("Show diagnostics in the file manager");
    diagnostics->setObjectName("showDiagnostics");
    connect(diagnostics, &QPushButton::clicked, this, [this] {
        if (exportDiagnostics_) exportDiagnostics_();
    });
    auto* row = new QHBoxLayout;
    row->addWidget(diagnostics);
    row->addStretch();
    layout->addLayout(row);
    layout->addStretch();
    return developer;
}

QWidget* HostSettingsView::makeAbout() {
    auto* about = new QWidget;
    about->setObjectName("aboutTab");
    auto* layout = new QVBoxLayout(about);
    layout->setSpacing(10);
    layout->addStretch();

    auto* symbol = new QLabel;
    symbol->setPixmap(SymbolImage::pixmap("rectangle.on.rectangle", 40, ViewStyle::tint(*this), devicePixelRatioF()));
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    auto* name = new QLabel("Quillmere");
    name->setFont(ViewStyle::title2(font()));
    layout->addWidget(name, 0, Qt::AlignHCenter);

    auto* version = new QPushButton(qs("Version " + bundle_.versionText()));
    version->setObjectName("versionButton");
    version->setFlat(true);
    version->setAccessibleDescription("Shows the version");
    ViewStyle::makeSecondary(version);
    connect(version, &QPushButton::clicked, this, [this] { registerVersionTap(); });
    layout->addWidget(version, 0, Qt::AlignHCenter);

    if (bundle_.helpAddress) {
        const QString address = qs(*bundle_.helpAddress);
        auto* help = new QLabel(QString("<a href=\"%1\">Help</a>").arg(address.toHtmlEscaped()));
        help->setObjectName("helpLink");
        help->setTextFormat(Qt::RichText);
        connect(help, &QLabel::linkActivated, this, [this, address] { openHelp(address); });
        layout->addWidget(help, 0, Qt::AlignHCenter);
    }
    layout->addStretch();
    return about;
}

void HostSettingsView::openHelp(const QString& address) {
    const QUrl url(address);
    if (openAddress ? openAddress(url) : QDesktopServices::openUrl(url)) return;
    // Qt tells only its log that no browser took it.
    if (!helpBox_) {
        auto* box = new QMessageBox(QMessageBox::Information, "Quillmere Help",
                                    "The help is at this address:\n" + address, QMessageBox::Ok, this);
        box->setObjectName("helpBox");
        box->setTextFormat(Qt::PlainText);
        // To copy into a browser of the user's choice.
        box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        box->setInformativeText("No web browser could open it.");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        helpBox_ = box;
    }
    helpBox_->show();
    helpBox_->raise();
    helpBox_->activateWindow();
}

void HostSettingsView::refresh() {
    autoApprove_->setChecked(switchValue(autoApproveKey));
    openAtLogin_->setChecked(model_.loginItemEnabled && model_.loginItemEnabled());
    const auto problem = model_.loginItemProblem ? model_.loginItemProblem() : std::nullopt;
    loginItemProblem_->setText(problem ? qs(*problem) : QString());
    loginItemProblem_->setVisible(problem.has_value());
    const auto unsaved = model_.settingsProblem ? model_.settingsProblem() : std::nullopt;
    settingsProblem_->setText(unsaved ? qs(*unsaved) : QString());
    settingsProblemRow_->setVisible(unsaved.has_value());
    showDeveloper(switchValue(developerUnlockedKey));
    if (developerTab_) {
        testPattern_->setChecked(switchValue(testPatternKey));
        wifiPriority_->setChecked(switchValue(wifiPriorityKey));
        normalRateControl_->setChecked(switchValue(normalRateControlKey));
    }

    std::optional<std::string> trustProblem;
    if (const auto engine = model_.engine.lock()) {
        showDevices(engine->status().pairedDevices);
        trustProblem = engine->status().trustProblem;
    } else if (!shownDevices_) {
        showDevices({});
    }
    trustProblem_->setText(trustProblem ? ViewStyle::breakable(qs(*trustProblem)) : QString());
    trustProblemRow_->setVisible(trustProblem.has_value());
}

QWidget* HostSettingsView::problemRow(QLabel*& text, const char* name) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* warning = new QLabel(row);
    warning->setPixmap(SymbolImage::pixmap("exclamationmark.triangle", 16, palette().color(QPalette::WindowText),
                                           devicePixelRatioF()));
    layout->addWidget(warning, 0, Qt::AlignTop);
    text = ViewStyle::text({}, row);
    text->setObjectName(name);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(text, 1);
    row->hide();
    return row;
}

void HostSettingsView::showDeveloper(bool unlocked) {
    if (unlocked && !developerTab_) {
        developerTab_ = makeDeveloper();
        tabs_->insertTab(2, developerTab_, SymbolImage::icon("hammer", palette().color(QPalette::WindowText)),
                         "Developer");
    } else if (!unlocked && developerTab_) {
        tabs_->removeTab(tabs_->indexOf(developerTab_));
        // Later: one of its switches may be what led here.
        developerTab_->deleteLater();
        developerTab_ = nullptr;
        testPattern_ = wifiPriority_ = normalRateControl_ = nullptr;
    }
}

QSize HostSettingsView::sizeHint() const {
    // Wide enough for every page, tall enough for the tallest at that width;
    // the tab bar and the margins around the pages come on top.
    int contentWidth = width;
    for (int i = 0; i < tabs_->count(); ++i) {
        const auto* area = qobject_cast<const QScrollArea*>(tabs_->widget(i));
        const QWidget* content = area ? area->widget() : tabs_->widget(i);
        contentWidth = std::max(contentWidth, content->minimumSizeHint().width());
    }
    int contentHeight = 0;
    for (int i = 0; i < tabs_->count(); ++i) {
        const auto* area = qobject_cast<const QScrollArea*>(tabs_->widget(i));
        const QWidget* content = area ? area->widget() : tabs_->widget(i);
        contentHeight = std::max(contentHeight, content->hasHeightForWidth() ? content->heightForWidth(contentWidth)
                                                                              : content->sizeHint().height());
    }
    const QSize chrome = QSize(16, 16) + QSize(8, tabs_->tabBar()->sizeHint().height() + 8);
    return QSize(contentWidth, contentHeight).expandedTo(QSize(width, height) - chrome) + chrome;
}

void HostSettingsView::setSwitch(const char* title, const char* key, bool on) {
    if (model_.setSwitch) model_.setSwitch(title, key, on);
    // What its save carries, or what is in effect when it was not saved.
    refresh();
}

bool HostSettingsView::switchValue(const char* key) const {
    const auto saving = model_.savingValue ? model_.savingValue(key) : std::nullopt;
    return saving.value_or(defaults_.boolForKey(key));
}

void HostSettingsView::showDevices(const std::vector<TrustedPeer>& devices) {
    if (shownDevices_ == devices) return;
    shownDevices_ = devices;
    while (QLayoutItem* item = deviceList_->takeAt(0)) {
        // Later: a row's own signal may be what led here.
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        delete item;
    }
    if (devices.empty()) {
        QLabel* none = ViewStyle::secondaryText("No paired iPhones yet.");
        none->setObjectName("noDevices");
        deviceList_->addWidget(none);
        none->show();
        return;
    }
    for (const TrustedPeer& device : devices) {
        QWidget* row = deviceRow(device);
        deviceList_->addWidget(row);
        row->show();
    }
}

QWidget* HostSettingsView::deviceRow(const TrustedPeer& device) {
    auto* row = new QWidget;
    row->setObjectName("deviceRow");
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);

    auto* header = new QHBoxLayout;
    auto* symbol = new QLabel;
    symbol->setPixmap(SymbolImage::pixmap("iphone", 18, palette().color(QPalette::WindowText), devicePixelRatioF()));
    header->addWidget(symbol);
    QLabel* name = ViewStyle::text(qs(device.name));
    name->setObjectName("deviceName");
    name->setFont(ViewStyle::headline(font()));
    header->addWidget(name, 1);
    auto* remove = new QPushButton("Remove…");
    remove->setObjectName("removeDevice");
    remove->setToolTip("Remove trust and disconnect this iPhone");
    connect(remove, &QPushButton::clicked, this, [this, device] { confirmRemoval(device); });
    header->addWidget(remove);
    layout->addLayout(header);

    auto* disclosure = new QToolButton;
    disclosure->setObjectName("identityDisclosure");
    disclosure->setText("Device Identity");
    disclosure->setCheckable(true);
    disclosure->setAutoRaise(true);
    disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    // All 32 bytes, not the short form identifiers print as.
    const auto& fingerprint = device.fingerprint.bytes();
    auto* identity = new IdentityText(QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(fingerprint.data()), static_cast<qsizetype>(fingerprint.size()))
            .toHex()));
    identity->setObjectName("deviceIdentity");
    const bool open = disclosed_.contains(device.deviceID);
    disclosure->setChecked(open);
    disclosure->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
    identity->setVisible(open);
    connect(disclosure, &QToolButton::toggled, this, [this, disclosure, identity, id = device.deviceID](bool on) {
        disclosure->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        identity->setVisible(on);
        if (on) disclosed_.insert(id);
        else disclosed_.erase(id);
    });
    layout->addWidget(disclosure, 0, Qt::AlignLeft);
    layout->addWidget(identity);
    return row;
}

void HostSettingsView::confirmRemoval(const TrustedPeer& device) {
    deviceName_ = device.name;
    deviceToRemove_ = device.deviceID;
    auto* box = new QMessageBox(this);
    box->setObjectName("removeConfirmation");
    box->setIcon(QMessageBox::Warning);
    box->setWindowTitle("Quillmere Settings");
    box->setText(qs("Remove " + deviceName_ + "?"));
    box->setInformativeText("This iPhone will disconnect and need to pair again before it can view or control your computer.");
    QPushButton* cancel = box->addButton("Cancel", QMessageBox::RejectRole);
    cancel->setObjectName("cancelRemoval");
    QPushButton* remove = box->addButton("Remove iPhone", QMessageBox::DestructiveRole);
    remove->setObjectName("confirmRemoval");
    box->setEscapeButton(cancel);
    box->setDefaultButton(cancel);
    connect(box, &QMessageBox::finished, this, [this, box, remove] {
        const bool confirmed = box->clickedButton() == remove;
        box->deleteLater();
        removalAnswered(confirmed);
    });
    confirmation_ = box;
    box->open();
}

QMessageBox* HostSettingsView::confirmation() const { return confirmation_; }

QMessageBox* HostSettingsView::helpBox() const { return helpBox_; }

void HostSettingsView::removalAnswered(bool remove) {
    const auto device = deviceToRemove_;
    deviceToRemove_.reset();
    if (!remove || !device) return;
    // The engine publishes the new list, which redraws this view.
    if (const auto engine = model_.engine.lock()) engine->removeDevice(*device);
}

void HostSettingsView::registerVersionTap() {
    if (switchValue(developerUnlockedKey)) return;
    ++versionTaps_;
    if (versionTaps_ >= tapsToUnlock) setSwitch(developerUnlockedTitle, developerUnlockedKey, true);
}

} // namespace quillmere
