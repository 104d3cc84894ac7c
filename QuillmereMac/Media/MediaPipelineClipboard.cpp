// MediaPipeline's clipboard transfer: every write and every read asks the
// user each time, and touches the clipboard only once approved. The answer
// comes back through the completion, never by waiting: a connection's queue
// must stay free while the prompt is open.

#include "QuillmereMac/Media/CharacterCount.h"
#include "QuillmereMac/Media/MediaPipeline.h"

#include <fmt/format.h>

namespace quillmere {

void MediaPipeline::writeClipboard(std::string clientName, std::string text,
                                   std::function<void(ClipboardOutcome)> reply) {
    auto ask = [weak = weak_from_this(), pasteboard = pasteboard_, clientName = std::move(clientName),
                text = std::move(text), reply = std::move(reply)]() mutable {
        const auto self = weak.lock();
        const auto consent = self ? self->consent_.lock() : nullptr;
        if (!consent || !pasteboard) {
            reply(ClipboardOutcome::denied);
            return;
        }
        std::string prompt = fmt::format("paste {} characters into the Mac clipboard", characterCount(text));
        consent->enqueue(std::move(clientName), std::move(prompt),
                         [pasteboard, text = std::move(text), reply = std::move(reply)](bool approved) {
                             if (!approved)
                                 reply(ClipboardOutcome::denied);
                             else
                                 reply(pasteboard->write(text) ? ClipboardOutcome::done : ClipboardOutcome::notText);
                         });
    };
    if (mainActor_.isCurrent())
        ask();
    else
        mainActor_.async(std::move(ask));
}

void MediaPipeline::readClipboard(std::string clientName,
                                  std::function<void(bool approved, std::optional<std::string> text)> reply) {
    auto ask = [weak = weak_from_this(), pasteboard = pasteboard_, clientName = std::move(clientName),
                reply = std::move(reply)]() mutable {
        const auto self = weak.lock();
        const auto consent = self ? self->consent_.lock() : nullptr;
        if (!consent || !pasteboard) {
            reply(false, std::nullopt);
            return;
        }
        consent->enqueue(std::move(clientName), "read the Mac clipboard",
                         [pasteboard, reply = std::move(reply)](bool approved) {
                             if (!approved)
                                 reply(false, std::nullopt);
                             else
                                 reply(true, pasteboard->read());
                         });
    };
    if (mainActor_.isCurrent())
        ask();
    else
        mainActor_.async(std::move(ask));
}

} // namespace quillmere
