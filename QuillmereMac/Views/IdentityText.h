#pragma once

#include <QTextEdit>

namespace quillmere {

// A long unbroken text (a fingerprint in hexadecimal) in the monospaced
// font: selectable, wrapped anywhere to the width it is given, and always
// as tall as its lines, so nothing of it is cut off or scrolled away.
class IdentityText : public QTextEdit {
public:
    explicit IdentityText(const QString& text, QWidget* parent = nullptr);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int heightFor(int viewportWidth) const;
};

} // namespace quillmere
