#include "Platform/Pasteboard/SystemPasteboard.h"

#include "Platform/Pasteboard/ClipboardReaderX11.h"

#include <QClipboard>
#include <QGuiApplication>

namespace quillmere {

namespace {

QClipboard* clipboard() {
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return nullptr;
    return QGuiApplication::clipboard();
}

} // namespace

SystemPasteboard::SystemPasteboard(Executor& gui, XcbConnection::Opener open, std::size_t longest)
    : gui_(gui), longest_(longest), reader_(std::move(open), longest) {}

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

void SystemPasteboard::read(ReadDone done) {
    reader_.read([this, done = std::move(done)](ClipboardReaderX11::Read read) mutable {
        if (!read) {
            // Read as holding no text, as a clipboard that refuses a store reads as not taking text.
            log_.notice("%{public}s; read as no text", read.error().description(ClipboardReaderX11::answerBoundNs));
        } else if (*read && (*read)->size() > longest_) {
            log_.notice("the clipboard's text is longer than %{public}zu bytes; read no further", longest_);
        }
        gui_.async([done = std::move(done), text = read.value_or(std::nullopt)]() mutable { done(std::move(text)); });
    });
}

} // namespace quillmere
