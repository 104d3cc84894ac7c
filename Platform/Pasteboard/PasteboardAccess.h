#pragma once

#include <functional>
#include <optional>
#include <string>

namespace quillmere {

// The system clipboard's text, as the clipboard transfer needs it. Main
// actor only.
class PasteboardAccess {
public:
    // The clipboard's text; absent when it holds none. A text longer than
    // a session sends may come cut short, though still longer than that.
    using ReadDone = std::function<void(std::optional<std::string> text)>;

    virtual ~PasteboardAccess() = default;

    // Clears the clipboard, then stores the text; false when the store did
    // not take.
    virtual bool write(const std::string& text) = 0;
    // Answers later, on the main actor: the text may have to be asked of
    // another program, which answers when it will.
    virtual void read(ReadDone done) = 0;
};

} // namespace quillmere
