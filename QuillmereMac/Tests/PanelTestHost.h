#pragma once

// What the window tests stand on: the Qt application, a keychain and an
// engine over a trust store kept in it, as the running host has them.

#include "QuillmereMac/Engine/HostEngine.h"
#include "QuillmereMac/Tests/QtTestSupport.h"
#include "QuillmereMac/Trust/AnyTrustStorage.h"
#include "QuillmereTransport/Tests/PeerTestSupport.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace quillmere::testing {

struct GrantedPermissions final : PermissionChecking {
    bool screenCaptureAllowed() override { return true; }
    bool accessibilityTrusted() override { return true; }
    bool promptForAccessibility() override { return true; }
};

struct PanelTestHost {
    QApplication& application = qtApplication();
    TestKeychain keys;
    TestDefaults defaults;
    std::shared_ptr<HostEngine> engine = openEngine();

    // A new engine over the same keychain: what a relaunch would find.
    std::shared_ptr<HostEngine> openEngine() const {
        auto store = TrustStore::open(AnyTrustStorage::keychain(KeychainTrustStorage(Keychain(keys.path() / "keychain")),
                                                                KeychainTrustStorage::service("test"),
                                                                std::string(KeychainTrustStorage::account)));
        if (!store) throw std::runtime_error(store.error().description());
        return std::make_shared<HostEngine>(std::make_shared<GrantedPermissions>(), std::move(*store));
    }

    TrustedPeer pair(const std::string& name, std::uint8_t seed) {
        std::array<std::uint8_t, 16> id{};
        id.fill(seed);
        std::array<std::uint8_t, 32> fingerprint{};
        for (std::size_t i = 0; i < fingerprint.size(); ++i) fingerprint[i] = static_cast<std::uint8_t>(seed * 16 + i);
        const TrustedPeer peer(WireID(id), Digest32(fingerprint), name, PeerRole::client, 1'700'000'000);
        if (!engine->addDevice(peer)) throw std::runtime_error("cannot pair " + name);
        return peer;
    }
};

} // namespace quillmere::testing
