#include "QuillmereMac/Consent/PromptScope.h"

#include <algorithm>
#include <utility>

namespace quillmere {

void PromptScope::ask(const std::shared_ptr<PromptScope>& scope, const std::shared_ptr<ConsentPresenting>& presenter,
                      const Put& put, ConsentPresenting::Reply reply) {
    if (scope)
        scope->ask(presenter, put, std::move(reply));
    else
        put(std::move(reply));
}

// The entry goes in before the prompt is put up: a presenter may answer
// before it returns the prompt's number.
void PromptScope::ask(const std::shared_ptr<ConsentPresenting>& presenter, const Put& put,
                      ConsentPresenting::Reply reply) {
    if (ended()) {
        reply(false);
        return;
    }
    const std::uint64_t ticket = ++tickets_;
    open_.push_back({ticket, 0, presenter});
    const std::uint64_t prompt = put([scope = shared_from_this(), ticket, reply = std::move(reply)](bool approved) {
        std::erase_if(scope->open_, [ticket](const Open& open) { return open.ticket == ticket; });
        reply(approved && !scope->ended());
    });
    const auto found =
        std::find_if(open_.begin(), open_.end(), [ticket](const Open& open) { return open.ticket == ticket; });
    if (found == open_.end()) return;
    if (prompt == 0)
        open_.erase(found);
    else
        found->prompt = prompt;
}

void PromptScope::withdrawAll() {
    end();
    // Withdrawing answers, and answering takes the entry out of open_.
    const std::vector<Open> open = std::exchange(open_, {});
    for (const Open& entry : open)
        if (const auto presenter = entry.presenter.lock()) presenter->withdraw(entry.prompt);
}

} // namespace quillmere
