#include "QuillmereMac/HostService/TrustSnapshot.h"

#include <algorithm>

namespace quillmere {

namespace {

bool sameDevice(const TrustedPeer& a, const TrustedPeer& b) {
    return a.deviceID == b.deviceID || a.fingerprint == b.fingerprint;
}

} // namespace

TrustSnapshot::TrustSnapshot(std::vector<TrustedPeer> stored, Read read)
    : read_(std::move(read)) {
    state_.withLock([&](State& state) {
        see(state, stored);
        state.stored = std::move(stored);
    });
}

void TrustSnapshot::onChange(std::function<void()> changed) {
    state_.withLock([&](State& state) { state.changed = std::move(changed); });
}

std::vector<TrustedPeer> TrustSnapshot::answer(const State& state) {
    std::vector<TrustedPeer> peers;
    for (const TrustedPeer& peer : state.stored) {
        const bool removed = std::any_of(state.unsaved.begin(), state.unsaved.end(),
                                         [&](const TrustedPeer& gone) { return sameDevice(gone, peer); });
        if (!removed) peers.push_back(peer);
    }
    return peers;
}

bool TrustSnapshot::apply(State& state, std::uint64_t ticket, std::vector<TrustedPeer> list) {
    if (ticket <= state.applied) return false;
    state.applied = ticket;
    const bool changed = list != state.stored;
    see(state, list);
    state.stored = std::move(list);
    return changed;
}

void TrustSnapshot::see(State& state, const std::vector<TrustedPeer>& list) {
    for (const TrustedPeer& peer : list) {
        std::erase_if(state.seen, [&](const TrustedPeer& known) { return known.deviceID == peer.deviceID; });
        state.seen.push_back(peer);
    }
}

std::vector<TrustedPeer> TrustSnapshot::peers() const {
    return state_.withLock([](const State& state) { return answer(state); });
}

std::vector<Digest32> TrustSnapshot::fingerprints() const {
    std::vector<Digest32> fingerprints;
    for (const TrustedPeer& peer : peers()) {
        if (std::find(fingerprints.begin(), fingerprints.end(), peer.fingerprint) == fingerprints.end())
            fingerprints.push_back(peer.fingerprint);
    }
    return fingerprints;
}

std::optional<TrustedPeer> TrustSnapshot::peer(const Digest32& fingerprint) const {
    std::optional<TrustedPeer> found;
    for (const TrustedPeer& peer : peers()) {
        if (peer.fingerprint.constantTimeEquals(fingerprint) && !found) found = peer;
    }
    return found;
}

std::vector<TrustedPeer> TrustSnapshot::unsaved() const {
    return state_.withLock([](const State& state) { return state.unsaved; });
}

bool TrustSnapshot::contains(const std::optional<Digest32>& fingerprint) {
    if (!fingerprint) return false;
    const auto holds = [&](const State& state) {
        bool found = false;
        for (const TrustedPeer& peer : answer(state)) found |= peer.fingerprint.constantTimeEquals(*fingerprint);
        return found;
    };
    std::uint64_t ticket = 0;
    if (!state_.withLock([&](State& state) {
            ticket = ++state.tickets;
            return holds(state);
        }))
        return false;
    if (!read_) return true;
    auto list = read_();
    if (!list) return true;
    std::function<void()> told;
    const bool found = state_.withLock([&](State& state) {
        const auto before = answer(state);
        if (apply(state, ticket, std::move(*list)) && answer(state) != before) told = state.changed;
        return holds(state);
    });
    if (told) told();
    return found;
}

std::uint64_t TrustSnapshot::ticket() {
    return state_.withLock([](State& state) { return ++state.tickets; });
}

void TrustSnapshot::stored(std::uint64_t ticket, std::vector<TrustedPeer> list) {
    state_.withLock([&](State& state) { apply(state, ticket, std::move(list)); });
}

std::optional<TrustedPeer> TrustSnapshot::remove(const WireID& deviceID) {
    return state_.withLock([&](State& state) -> std::optional<TrustedPeer> {
        const auto same = [&](const TrustedPeer& peer) { return peer.deviceID == deviceID; };
        if (std::any_of(state.unsaved.begin(), state.unsaved.end(), same)) return std::nullopt;
        std::optional<TrustedPeer> found;
        const auto trusted = answer(state);
        if (const auto now = std::find_if(trusted.begin(), trusted.end(), same); now != trusted.end()) found = *now;
        else if (const auto known = std::find_if(state.seen.begin(), state.seen.end(), same); known != state.seen.end())
            found = *known;
        if (found) state.unsaved.push_back(*found);
        return found;
    });
}

void TrustSnapshot::removalSaved(std::uint64_t ticket, std::vector<TrustedPeer> list, const TrustedPeer& removed) {
    state_.withLock([&](State& state) {
        apply(state, ticket, std::move(list));
        // A newer read than the save's began after it, and found it saved too.
        std::erase(state.unsaved, removed);
    });
}

void TrustSnapshot::paired(std::uint64_t ticket, std::vector<TrustedPeer> list, const TrustedPeer& peer) {
    state_.withLock([&](State& state) {
        apply(state, ticket, std::move(list));
        std::erase_if(state.unsaved, [&](const TrustedPeer& gone) { return sameDevice(gone, peer); });
    });
}

} // namespace quillmere
