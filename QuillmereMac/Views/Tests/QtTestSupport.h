#pragma once

// What the window tests share: the one QApplication of the test process
// (offscreen unless QT_QPA_PLATFORM says otherwise), waiting while Qt's
// events run, finding widgets by object name, and finding texts that their
// window cuts off.

#include "TestSupport/Eventually.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
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

// Work that waits for the host, done on a thread of its own while the
// host's events run here.
template <class F>
auto offMain(F work) {
    auto result = std::async(std::launch::async, std::move(work));
    pumpUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              std::chrono::seconds(20));
    return result.get();
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

// Whether a button is drawn as a window's main one, mostly in the accent
// (the palette's highlight); false for no button.
inline bool drawnProminent(QWidget* button) {
    const QImage image = button ? button->grab().toImage().convertToFormat(QImage::Format_RGB32) : QImage();
    const QRgb accent = button ? button->palette().color(QPalette::Highlight).rgb() : 0;
    const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits());
    return 2 * std::count(pixels, pixels + image.width() * image.height(), accent) > image.width() * image.height();
}

// What a user would see wrong in a window's layout: a visible widget that
// reaches outside its parent (a scroll area's page excepted: it scrolls), two
// visible siblings that overlap, the window's frame outside its screen's
// available area. Each fault as "parent > child" words.
inline std::vector<std::string> layoutFaults(const QWidget& window) {
    std::vector<std::string> faults;
    const auto name = [](const QWidget& widget) {
        return (widget.objectName().isEmpty() ? QString::fromLatin1(widget.metaObject()->className())
                                              : widget.objectName())
            .toStdString();
    };
    std::function<void(const QWidget&)> walk = [&](const QWidget& parent) {
        const auto* area = qobject_cast<const QAbstractScrollArea*>(parent.parentWidget());
        const bool scrolls = area != nullptr && area->viewport() == &parent;
        std::vector<const QWidget*> shown;
        for (const QObject* object : parent.children()) {
            const auto* child = qobject_cast<const QWidget*>(object);
            if (child == nullptr || child->isWindow() || !child->isVisibleTo(&window) || child->size().isEmpty())
                continue;
            if (!scrolls && !parent.rect().contains(child->geometry()))
                faults.push_back(name(parent) + " > " + name(*child) + " reaches outside");
            for (const QWidget* other : shown)
                if (other->geometry().intersects(child->geometry()))
                    faults.push_back(name(parent) + " > " + name(*other) + " overlaps " + name(*child));
            shown.push_back(child);
            walk(*child);
        }
    };
    walk(window);
    if (const QScreen* screen = window.screen(); screen && !screen->availableGeometry().contains(window.frameGeometry()))
        faults.push_back(name(window) + " lies outside its screen's available area");
    return faults;
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
