#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Pasteboard/PasteboardAccess.h"

namespace quillmere {

// The X11 CLIPBOARD selection through Qt's clipboard, which serves it to
// other clients for as long as the application lives. Qt allows it only on
// the thread of its QGuiApplication (gui); a call from elsewhere waits for
// that thread. Without a QGuiApplication nothing can be stored or read.
class SystemPasteboard final : public PasteboardAccess {
public:
    explicit SystemPasteboard(Executor& gui);

    bool write(const std::string& text) override;
    std::optional<std::string> read() override;

private:
    void onGui(const Executor::Work& work);

    Executor& gui_;
};

} // namespace quillmere
