#include "QuillmereMacCore/InputLease.h"

#include "QuillmereWire/SequenceNumber.h"

#include <algorithm>
#include <type_traits>
#include <variant>

namespace quillmere {

namespace {

constexpr std::uint64_t motionWindowNs = 1'000'000'000;

template <class T>
bool removeHeld(std::vector<T>& held, T value) {
    auto it = std::find(held.begin(), held.end(), value);
    if (it == held.end()) return false;
    held.erase(it);
    return true;
}

template <class T>
bool contains(const std::vector<T>& held, T value) {
    return std::find(held.begin(), held.end(), value) != held.end();
}

} // namespace

InputLease::InputLease(std::uint64_t leaseNs, std::int64_t maxMotionPerSecond)
    : leaseNs_(leaseNs), maxMotionPerSecond_(std::max<std::int64_t>(maxMotionPerSecond, 1)) {}

std::vector<InjectAction> InputLease::admit(std::uint32_t seq, std::uint32_t generation, const InputEvent& event,
                                            std::uint64_t now) {
    if (!active_) {
        ++counters_.droppedInactive;
        return {};
    }
    if (generation != generation_) {
        ++counters_.droppedStale;
        return {};
    }
    if (lastSeq_ && !isNewer(seq, *lastSeq_)) {
        ++counters_.droppedOrder;
        return {};
    }
    // Every message in order proves the client is alive, even one the
    // gates below drop.
    lastSeq_ = seq;
    lastValidNs_ = now;
    if (now - windowStartNs_ >= motionWindowNs) {
        windowStartNs_ = now;
        motionInWindow_ = 0;
    }

    return std::visit(
        [&](const auto& e) -> std::vector<InjectAction> {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, input::Key>) {
                if (e.down) {
                    // Auto-repeat presses are injected again.
                    ++counters_.accepted;
                    if (!contains(heldKeys_, e.usage)) heldKeys_.push_back(e.usage);
                    return {inject::KeyDown{e.usage}};
                }
                if (!removeHeld(heldKeys_, e.usage)) {
                    ++counters_.ignoredDuplicate;
                    return {};
                }
                ++counters_.accepted;
                return {inject::KeyUp{e.usage}};
            } else if constexpr (std::is_same_v<E, input::Button>) {
                if (e.down) {
                    if (contains(heldButtons_, e.button)) {
                        ++counters_.ignoredDuplicate;
                        return {};
                    }
                    heldButtons_.push_back(e.button);
                    ++counters_.accepted;
                    return {inject::ButtonDown{e.button}};
                }
                if (!removeHeld(heldButtons_, e.button)) {
                    ++counters_.ignoredDuplicate;
                    return {};
                }
                ++counters_.accepted;
                return {inject::ButtonUp{e.button}};
            } else if constexpr (std::is_same_v<E, input::PointerMove>) {
                return admitMotion(inject::MoveRelative{e.dx, e.dy});
            } else if constexpr (std::is_same_v<E, input::PointerAbsolute>) {
                return admitMotion(inject::MoveAbsolute{e.x, e.y});
            } else if constexpr (std::is_same_v<E, input::Scroll>) {
                return admitMotion(inject::Scroll{e.dx, e.dy, e.unit});
            } else if constexpr (std::is_same_v<E, input::Text>) {
                ++counters_.accepted;
                return {inject::Text{e.text}};
            } else if constexpr (std::is_same_v<E, input::Renew>) {
                return {};
            } else {
                static_assert(std::is_same_v<E, input::Release>);
                return releaseAll();
            }
        },
        static_cast<const InputEvent::variant&>(event));
}

std::vector<InjectAction> InputLease::admitMotion(InjectAction action) {
    if (motionInWindow_ >= maxMotionPerSecond_) {
        ++counters_.droppedRate;
        return {};
    }
    ++motionInWindow_;
    ++counters_.accepted;
    return {std::move(action)};
}

std::vector<InjectAction> InputLease::releaseAll() {
    std::vector<InjectAction> releases;
    releases.reserve(heldButtons_.size() + heldKeys_.size());
    for (auto it = heldButtons_.rbegin(); it != heldButtons_.rend(); ++it) releases.emplace_back(std::in_place_type<inject::ButtonUp>, *it);
    for (auto it = heldKeys_.rbegin(); it != heldKeys_.rend(); ++it) releases.emplace_back(std::in_place_type<inject::KeyUp>, *it);
    heldButtons_.clear();
    heldKeys_.clear();
    return releases;
}

InputLease::Grant InputLease::grant(std::uint64_t now) {
    auto releases = releaseAll();
    ++generation_;
    active_ = true;
    lastSeq_.reset();
    lastValidNs_ = now;
    return {generation_, std::move(releases)};
}

std::vector<InjectAction> InputLease::revoke() {
    active_ = false;
    return releaseAll();
}

std::vector<InjectAction> InputLease::expireIfIdle(std::uint64_t now) {
    if (!active_) return {};
    if (now < lastValidNs_ || now - lastValidNs_ <= leaseNs_) return {};
    if (heldKeys_.empty() && heldButtons_.empty()) return {};
    ++counters_.expiries;
    return releaseAll();
}

} // namespace quillmere
