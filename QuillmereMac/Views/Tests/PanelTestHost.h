#pragma once

// What the window tests stand on: the Qt application, a keychain and an
// engine over a trust store kept in it, as the running host has them.

#include "Platform/Dispatch/MainQueue.h"
#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Views/Tests/QtTestSupport.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"
#include "TestSupport/Host/TestHost.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace quillmere::testing {

// Saves a device as an approved pairing does, while Qt's events run.
inline bool addAndWait(HostEngine& engine, const TrustedPeer& peer) {
    auto saved = std::make_shared<std::optional<bool>>();
    engine.addDevice(peer, [saved](const auto& added) { *saved = added.has_value(); });
    return pumpUntil([&] { return saved->has_value(); }) && **saved;
}

struct PanelTestHost {
    QApplication& application = qtApplication();
    TestKeychain keys;
    TestDefaults defaults;
    std::shared_ptr<HostEngine> engine = openEngine();

    // A new engine over the same keychain: what a relaunch would find.
    std::shared_ptr<HostEngine> openEngine() const { return TestHost::engineOver(keys, MainQueue::shared()); }

    TrustedPeer pair(const std::string& name, std::uint8_t seed) {
        std::array<std::uint8_t, 16> id{};
        id.fill(seed);
        std::array<std::uint8_t, 32> fingerprint{};
        for (std::size_t i = 0; i < fingerprint.size(); ++i) fingerprint[i] = static_cast<std::uint8_t>(seed * 16 + i);
        const TrustedPeer peer(WireID(id), Digest32(fingerprint), name, PeerRole::client, 1'700'000'000);
        if (!addAndWait(*engine, peer)) throw std::runtime_error("cannot pair " + name);
        return peer;
    }
};

} // namespace quillmere::testing
