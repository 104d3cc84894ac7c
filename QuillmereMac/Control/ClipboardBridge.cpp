#include "QuillmereMac/Control/ClipboardBridge.h"

#include "QuillmereMac/Control/CharacterCount.h"

#include <fmt/format.h>

namespace quillmere {

ClipboardBridge::ClipboardBridge(Executor& mainActor, std::weak_ptr<ConsentPresenting> consent,
                                 std::shared_ptr<PasteboardAccess> pasteboard)
    : mainActor_(mainActor), consent_(std::move(consent)), pasteboard_(std::move(pasteboard)) {}

void ClipboardBridge::write(std::string clientName, std::string text, std::function<void(ClipboardOutcome)> reply,
                            std::shared_ptr<PromptScope> prompts) {
    onMainActor([consent = consent_, pasteboard = pasteboard_, clientName = std::move(clientName),
                 text = std::move(text), reply = std::move(reply), prompts = std::move(prompts)]() mutable {
        const auto presenter = consent.lock();
        if (!presenter || !pasteboard) {
            reply(ClipboardOutcome::denied);
            return;
        }
        std::string prompt =
            fmt::format("paste {} characters into this computer\u2019s clipboard", characterCount(text));
        PromptScope::ask(
            prompts, presenter,
            [&](ConsentPresenting::Reply answer) {
                return presenter->enqueue(std::move(clientName), std::move(prompt), std::move(answer));
            },
            [pasteboard, text = std::move(text), reply = std::move(reply)](bool approved) {
                if (!approved)
                    reply(ClipboardOutcome::denied);
                else
                    reply(pasteboard->write(text) ? ClipboardOutcome::done : ClipboardOutcome::notText);
            });
    });
}

void ClipboardBridge::read(std::string clientName,
                           std::function<void(bool approved, std::optional<std::string> text)> reply,
                           std::shared_ptr<PromptScope> prompts) {
    onMainActor([consent = consent_, pasteboard = pasteboard_, clientName = std::move(clientName),
                 reply = std::move(reply), prompts = std::move(prompts)]() mutable {
        const auto presenter = consent.lock();
        if (!presenter || !pasteboard) {
            reply(false, std::nullopt);
            return;
        }
        PromptScope::ask(
            prompts, presenter,
            [&](ConsentPresenting::Reply answer) {
                return presenter->enqueue(std::move(clientName), "read this computer\u2019s clipboard",
                                          std::move(answer));
            },
            [pasteboard, reply = std::move(reply)](bool approved) {
                if (!approved) {
                    reply(false, std::nullopt);
                    return;
                }
                pasteboard->read([reply](std::optional<std::string> text) { reply(true, std::move(text)); });
            });
    });
}

void ClipboardBridge::onMainActor(std::function<void()> work) {
    if (mainActor_.isCurrent())
        work();
    else
        mainActor_.async(std::move(work));
}

} // namespace quillmere
