#pragma once

#include "QuillmereMac/Consent/ConsentPresenting.h"

#include "Platform/Dispatch/Executor.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

// The user's consent prompts: pending requests wait for an answer from the
// status window or for the timeout, which denies them. Lives on the main
// actor (the executor given at creation): every call must be made there.
class ConsentCenter final : public ConsentPresenting, public std::enable_shared_from_this<ConsentCenter> {
public:
    struct Request {
        std::uint64_t id = 0;
        std::string deviceName;
        std::optional<std::string> windowTitle;

        bool operator==(const Request&) const = default;
    };

    static constexpr std::size_t autoApprovedKept = 5;

    static std::shared_ptr<ConsentCenter> make(Executor& mainActor);

    std::uint64_t request(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) override;
    std::uint64_t enqueue(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) override;
    void withdraw(std::uint64_t prompt) override { resolve(prompt, false); }
    // The user's answer, the timeout's denial or the shell's tear-down; a
    // second answer for the same request does nothing.
    void resolve(std::uint64_t id, bool approved);

    // Oldest first.
    const std::vector<Request>& pending() const { return pending_; }
    // The newest requests approved without a prompt, oldest first.
    const std::vector<Request>& autoApproved() const { return autoApproved_; }
    std::uint64_t nextID() const { return nextID_; }

    // Observers run after every change of pending() or autoApproved().
    std::uint64_t addObserver(std::function<void()> observer);
    void removeObserver(std::uint64_t token);

    // How long a prompt waits before it counts as denied.
    double timeoutSeconds = 60.0;
    // Called after each new prompt.
    std::function<void()> onPresent;
    // Whether paired devices are approved without a prompt.
    std::function<bool()> autoApproveSessions = [] { return false; };

    explicit ConsentCenter(Executor& mainActor);

private:
    void setPending(std::vector<Request> requests);
    void setAutoApproved(std::vector<Request> requests);
    void notify();
    std::uint64_t takeID() { return nextID_++; }

    Executor& mainActor_;
    std::vector<Request> pending_;
    std::map<std::uint64_t, Reply> replies_;
    std::uint64_t nextID_ = 1;
    std::vector<Request> autoApproved_;
    std::map<std::uint64_t, std::function<void()>> observers_;
    std::uint64_t nextObserver_ = 1;
};

} // namespace quillmere
