#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Log/Logger.h"
#include "Platform/Pasteboard/ClipboardReaderX11.h"
#include "Platform/Pasteboard/PasteboardAccess.h"
#include "Platform/X11/XcbConnection.h"

namespace quillmere {

// The X11 CLIPBOARD selection. Writes go through Qt's clipboard, which
// serves the text to other clients for as long as the application lives;
// Qt allows it only on the thread of its QGuiApplication (gui), and a call
// from elsewhere waits for that thread. Without a QGuiApplication nothing
// can be stored. Reads ask the selection's owner through a reader of their
// own, and answer on gui within a bound: the gui thread never waits for
// another program. A text longer than longest is read no further, and comes
// cut to longest + 1 bytes.
class SystemPasteboard final : public PasteboardAccess {
public:
    SystemPasteboard(Executor& gui, XcbConnection::Opener open, std::size_t longest);

    bool write(const std::string& text) override;
    void read(ReadDone done) override;

private:
    void onGui(const Executor::Work& work);

    Executor& gui_;
    const std::size_t longest_;
    const Logger log_{"com.ornbeck.quillmere.mac", "control"};
    // Last: gone, and its read ended, before what the reads use.
    ClipboardReaderX11 reader_;
};

} // namespace quillmere
