#include "Platform/Pasteboard/SystemPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace quillmere {

namespace {

QClipboard* clipboard() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return nullptr;
    return QGuiApplication::clipboard();
}

} // namespace

SystemPasteboard::SystemPasteboard(Executor& gui) : gui_(gui) {}

void SystemPasteboard::onGui(const Executor::Work& work) {
    if (gui_.isCurrent())
        work();
    else
        gui_.sync(work);
}

bool SystemPasteboard::write(const std::string& text) {
    bool stored = false;
    onGui([&] {
        QClipboard* board = clipboard();
        if (!board) return;
        const QString value = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        board->clear(QClipboard::Clipboard);
        board->setText(value, QClipboard::Clipboard);
        // Qt keeps the text even when the server refused it the selection.
        stored = board->ownsClipboard() && board->text(QClipboard::Clipboard) == value;
    });
    return stored;
}

std::optional<std::string> SystemPasteboard::read() {
    std::optional<std::string> text;
    onGui([&] {
        QClipboard* board = clipboard();
        const QMimeData* data = board ? board->mimeData(QClipboard::Clipboard) : nullptr;
        if (data && data->hasText()) text = data->text().toUtf8().toStdString();
    });
    return text;
}

} // namespace quillmere
