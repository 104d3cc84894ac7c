#pragma once

#include "QuillmereMac/Consent/PromptScope.h"
#include "QuillmereWire/WireEnums.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillmere {

// What a host connection asks of the media side about the clipboard. Both
// on the main actor; the replies may come later, from any thread. The
// prompts go into the connection's scope: once it ends, nothing is touched.
class ClipboardRequests {
public:
    virtual ~ClipboardRequests() = default;

    virtual void writeClipboard(std::string clientName, std::string text, std::function<void(ClipboardOutcome)> reply,
                                std::shared_ptr<PromptScope> prompts) = 0;
    virtual void readClipboard(std::string clientName,
                               std::function<void(bool approved, std::optional<std::string> text)> reply,
                               std::shared_ptr<PromptScope> prompts) = 0;
};

} // namespace quillmere
