#pragma once

#include "QuillmereMac/Consent/ConsentPresenting.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quillmere {

// The prompts one asker (a connection) has open, so that they go when it
// does. Once ended, no answer approves anything and no new prompt is put up.
// Prompts are put up, answered and withdrawn on the main actor.
class PromptScope final : public std::enable_shared_from_this<PromptScope> {
public:
    using Put = std::function<std::uint64_t(ConsentPresenting::Reply)>;

    static std::shared_ptr<PromptScope> make() { return std::make_shared<PromptScope>(); }

    // Main actor. Puts up a prompt through put (which returns the prompt
    // left waiting, 0 when none is) on the scope's behalf; without a scope,
    // as it stands.
    static void ask(const std::shared_ptr<PromptScope>& scope, const std::shared_ptr<ConsentPresenting>& presenter,
                    const Put& put, ConsentPresenting::Reply reply);

    // Any thread: from now on every answer is a refusal.
    void end() { ended_ = true; }
    bool ended() const { return ended_; }
    // Main actor: ends the scope and withdraws what it still has open.
    void withdrawAll();

private:
    struct Open {
        std::uint64_t ticket = 0;
        std::uint64_t prompt = 0;
        std::weak_ptr<ConsentPresenting> presenter;
    };

    void ask(const std::shared_ptr<ConsentPresenting>& presenter, const Put& put, ConsentPresenting::Reply reply);

    std::atomic<bool> ended_{false};
    // Main actor only.
    std::vector<Open> open_;
    std::uint64_t tickets_ = 0;
};

} // namespace quillmere
