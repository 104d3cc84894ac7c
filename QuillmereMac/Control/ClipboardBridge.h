#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Pasteboard/PasteboardAccess.h"
#include "QuillmereMac/Consent/ConsentPresenting.h"
#include "QuillmereMac/Consent/PromptScope.h"
#include "QuillmereWire/WireEnums.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillmere {

// Clipboard transfer: every write and every read asks the user each time,
// and touches the clipboard only once approved. The answer comes back through
// the reply, never by waiting: a connection's queue must stay free while the
// prompt is open.
class ClipboardBridge final {
public:
    // Without a pasteboard or a consent presenter, every request is refused.
    ClipboardBridge(Executor& mainActor, std::weak_ptr<ConsentPresenting> consent,
                    std::shared_ptr<PasteboardAccess> pasteboard);

    // The prompts go into the asker's scope, when it has one: once that
    // ends, an approval touches nothing.
    void write(std::string clientName, std::string text, std::function<void(ClipboardOutcome)> reply,
               std::shared_ptr<PromptScope> prompts = {});
    void read(std::string clientName, std::function<void(bool approved, std::optional<std::string> text)> reply,
              std::shared_ptr<PromptScope> prompts = {});

private:
    // On the main actor, at once when already there.
    void onMainActor(std::function<void()> work);

    Executor& mainActor_;
    const std::weak_ptr<ConsentPresenting> consent_;
    const std::shared_ptr<PasteboardAccess> pasteboard_;
};

} // namespace quillmere
