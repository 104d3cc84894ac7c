#pragma once

#include <optional>
#include <string>

namespace quillmere {

// The system clipboard's text, as the clipboard transfer needs it. Main
// actor only.
class PasteboardAccess {
public:
    virtual ~PasteboardAccess() = default;

    // Clears the clipboard, then stores the text; false when the store did
    // not take.
    virtual bool write(const std::string& text) = 0;
    // The clipboard's text; absent when it holds none.
    virtual std::optional<std::string> read() = 0;
};

} // namespace quillmere
