#include "QuillmereMac/Consent/ConsentCenter.h"

#include <algorithm>
#include <limits>

namespace quillmere {

namespace {

constexpr double fallbackTimeoutSeconds = 60.0;

std::uint64_t secondsToNs(double seconds) {
    if (!(seconds > 0.0)) return 0;
    const double ns = seconds * 1e9;
    if (ns >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(ns);
}

} // namespace

std::shared_ptr<ConsentCenter> ConsentCenter::make(Executor& mainActor) {
    return std::make_shared<ConsentCenter>(mainActor);
}

ConsentCenter::ConsentCenter(Executor& mainActor) : mainActor_(mainActor) {}

std::uint64_t ConsentCenter::request(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) {
    if (!autoApproveSessions || !autoApproveSessions())
        return enqueue(std::move(deviceName), std::move(windowTitle), std::move(reply));
    std::vector<Request> approved = autoApproved_;
    approved.push_back({takeID(), std::move(deviceName), std::move(windowTitle)});
    if (approved.size() > autoApprovedKept)
        approved.erase(approved.begin(), approved.end() - static_cast<std::ptrdiff_t>(autoApprovedKept));
    setAutoApproved(std::move(approved));
    // Never inside request(): callers may hold state the reply touches.
    mainActor_.async([reply = std::move(reply)] {
        if (reply) reply(true);
    });
    return 0;
}

std::uint64_t ConsentCenter::enqueue(std::string deviceName, std::optional<std::string> windowTitle, Reply reply) {
    const std::uint64_t id = takeID();
    std::vector<Request> requests = pending_;
    requests.push_back({id, std::move(deviceName), std::move(windowTitle)});
    setPending(std::move(requests));
    replies_.emplace(id, std::move(reply));
    if (onPresent) onPresent();

    // The timeout is neither kept nor cancelled: when the user answers first
    // it finds nothing left to resolve.
    Executor* mainActor = &mainActor_;
    mainActor_.async([weak = weak_from_this(), id, mainActor] {
        const auto center = weak.lock();
        const double seconds = center ? center->timeoutSeconds : fallbackTimeoutSeconds;
        mainActor->asyncAfter(secondsToNs(seconds), [weak, id] {
            if (const auto center = weak.lock()) center->resolve(id, false);
        });
    });
    return id;
}

void ConsentCenter::resolve(std::uint64_t id, bool approved) {
    const auto found = replies_.find(id);
    if (found == replies_.end()) return;
    Reply reply = std::move(found->second);
    replies_.erase(found);
    std::vector<Request> requests = pending_;
    std::erase_if(requests, [id](const Request& request) { return request.id == id; });
    setPending(std::move(requests));
    if (reply) reply(approved);
}

std::uint64_t ConsentCenter::addObserver(std::function<void()> observer) {
    const std::uint64_t token = nextObserver_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void ConsentCenter::removeObserver(std::uint64_t token) { observers_.erase(token); }

void ConsentCenter::setPending(std::vector<Request> requests) {
    const bool changed = requests != pending_;
    pending_ = std::move(requests);
    if (changed) notify();
}

void ConsentCenter::setAutoApproved(std::vector<Request> requests) {
    const bool changed = requests != autoApproved_;
    autoApproved_ = std::move(requests);
    if (changed) notify();
}

void ConsentCenter::notify() {
    // A copy: an observer may add or remove observers.
    const auto observers = observers_;
    for (const auto& [token, observer] : observers)
        if (observer) observer();
}

} // namespace quillmere
