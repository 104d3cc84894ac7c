#pragma once

#include "QuillmereMac/Bundle/BundleInfo.h"

#include <QDialog>

namespace quillmere {

// "About Quillmere": the program's icon, its name and its version, laid out
// so that nothing is cut off. Main thread only.
class AboutBox final : public QDialog {
public:
    explicit AboutBox(const BundleInfo& bundle, QWidget* parent = nullptr);
};

} // namespace quillmere
