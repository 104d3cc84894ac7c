#include "QuillmereMac/Views/AboutBox.h"

#include "QuillmereMac/Views/SymbolImage.h"
#include "QuillmereMac/Views/ViewStyle.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmere {

AboutBox::AboutBox(const BundleInfo& bundle, QWidget* parent) : QDialog(parent) {
    setObjectName("aboutBox");
    setWindowTitle(QStringLiteral("About Quillmere"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 24, 32, 20);
    layout->setSpacing(8);

    auto* icon = new QLabel;
    icon->setObjectName("aboutIcon");
    icon->setPixmap(SymbolImage::applicationIcon().pixmap(64, 64));
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    QLabel* name = ViewStyle::text(QStringLiteral("Quillmere"));
    name->setObjectName("aboutName");
    name->setFont(ViewStyle::title2(font()));
    name->setWordWrap(false);
    layout->addWidget(name, 0, Qt::AlignHCenter);
    QLabel* version = ViewStyle::secondaryText(QStringLiteral("Version ") + QString::fromStdString(bundle.versionText()));
    version->setObjectName("aboutVersion");
    version->setWordWrap(false);
    layout->addWidget(version, 0, Qt::AlignHCenter);
    QLabel* purpose = ViewStyle::secondaryText(QStringLiteral("Your computer, within reach."));
    purpose->setWordWrap(false);
    layout->addWidget(purpose, 0, Qt::AlignHCenter);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->button(QDialogButtonBox::Close)->setObjectName("closeAbout");
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addSpacing(8);
    layout->addWidget(buttons, 0, Qt::AlignHCenter);
    // As large as the texts need, and no larger.
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace quillmere
