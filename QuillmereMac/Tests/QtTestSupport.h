#pragma once

// What the window tests share: the one QApplication of the test process
// (offscreen unless QT_QPA_PLATFORM says otherwise), waiting while Qt's
// events run, finding widgets by object name, and finding texts that their
// window cuts off.

#include "TestSupport/Eventually.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quillmere::testing {

inline QApplication& qtApplication() {
    if (auto* running = qobject_cast<QApplication*>(QCoreApplication::instance())) return *running;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "QuillmereMacTests";
    static char* argv[] = {name, nullptr};
    // For the life of the process: widgets of other tests may outlive any scope.
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

// Runs Qt's events until the condition holds, for at most the limit.
inline bool pumpUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return testing::eventually(
        [&] {
            if (condition()) return true;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return condition();
        },
        limit);
}

// The one visible descendant of that name and type; null when none or several.
template <class T = QWidget>
T* shown(const QWidget& root, const char* name) {
    T* found = nullptr;
    for (T* candidate : root.findChildren<T*>(name)) {
        if (!candidate->isVisibleTo(&root)) continue;
        if (found != nullptr) return nullptr;
        found = candidate;
    }
    return found;
}

// Texts of visible labels and buttons that are given less room than they
// need: a wrapped label shorter than its lines, any other text narrower or
// shorter than its size hint.
inline std::vector<std::string> clippedTexts(const QWidget& root) {
    std::vector<std::string> clipped;
    for (const QLabel* label : root.findChildren<QLabel*>()) {
        if (!label->isVisibleTo(&root) || label->text().isEmpty()) continue;
        const bool fits = label->wordWrap()
                              ? label->height() >= label->heightForWidth(label->width()) &&
                                    label->width() >= label->minimumSizeHint().width()
                              : label->width() >= label->sizeHint().width() &&
                                    label->height() >= label->sizeHint().height();
        if (!fits) clipped.push_back(label->text().toStdString());
    }
    for (const QAbstractButton* button : root.findChildren<QAbstractButton*>()) {
        if (!button->isVisibleTo(&root) || button->text().isEmpty()) continue;
        if (button->width() < button->sizeHint().width() || button->height() < button->minimumSizeHint().height())
            clipped.push_back(button->text().toStdString());
    }
    return clipped;
}

} // namespace quillmere::testing
