#pragma once

#include "Platform/Keychain/Keychain.h"
#include "QuillmereTransport/Identity/LocalIdentity.h"
#include "QuillmereWire/TrustStore.h"
#include "QuillmereWire/WireID.h"

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// What the viewer keeps between runs, in the keychain of its state folder:
// its TLS identity, its device identifier and the hosts it paired with.
// Failures come back as text for the one error line.
class ViewerState {
public:
    static constexpr std::string_view identityLabel = "com.ornbeck.quillmere.viewer.identity";
    static constexpr std::string_view commonName = "QuillmereViewer";
    static constexpr std::string_view deviceService = "com.ornbeck.quillmere.viewer.device";
    static constexpr std::string_view deviceAccount = "device-id";
    static constexpr std::string_view nameAccount = "device-name";

    explicit ViewerState(std::filesystem::path folder);

    // quillmere-viewer in the account's data folder (UserFolders):
    // $XDG_DATA_HOME, else ~/.local/share; an error without a home.
    static std::expected<std::filesystem::path, std::string> standardFolder();
    // "Quillmere Viewer on <host name>", cut to 64 bytes.
    static std::string defaultDeviceName();

    const std::filesystem::path& folder() const { return folder_; }
    const Keychain& keychain() const { return keychain_; }

    // Made on first use and kept.
    std::expected<LocalIdentity, std::string> identity() const;
    // Sixteen random bytes made on first use and kept.
    std::expected<WireID, std::string> deviceID() const;
    std::expected<TrustStore, std::string> trustStore() const;
    // The name the viewer last paired under, so that its sessions greet the
    // host with the name the host knows it by; none before a pairing.
    std::optional<std::string> deviceName() const;
    std::expected<void, std::string> setDeviceName(const std::string& name) const;

private:
    std::filesystem::path folder_;
    Keychain keychain_;
};

} // namespace quillmere
