#pragma once

#include "Platform/Keychain/Keychain.h"
#include "QuillmereTransport/Identity/IdentityError.h"
#include "QuillmereTransport/Identity/LocalIdentity.h"

#include <array>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// Loads, makes and removes a P-256 identity with its self-signed certificate
// in the keychain, under a label. Three items make one identity: the
// private key (tagged and labelled with the label), the certificate
// (labelled with it) and the certificate's bytes as a generic password
// (account = label), which is what loading looks for.
class IdentityStore {
public:
    static constexpr std::string_view certificateService = "com.ornbeck.quillmeretransport.identity";
    static constexpr std::string_view hostIdentityLabel = "com.ornbeck.quillmere.mac.identity";
    static constexpr std::string_view hostCommonName = "QuillmereMac";
    static constexpr std::string_view notBefore = "20250101000000Z";
    static constexpr std::string_view notAfter = "20500101000000Z";

    explicit IdentityStore(Keychain keychain) : keychain_(std::move(keychain)) {}

    // The host's label, followed by "." and the keychain scope when one is set.
    static std::string hostLabel(std::optional<std::string_view> scope);
    // A 16-byte serial from 16 random bytes: the first byte made odd and
    // below 0x80, so the serial is a positive, non-zero, minimal INTEGER.
    static std::array<std::uint8_t, 16> serialFrom(std::array<std::uint8_t, 16> random);

    // No value when nothing was ever made under the label.
    std::expected<std::optional<LocalIdentity>, IdentityError> load(const std::string& label) const;
    std::expected<LocalIdentity, IdentityError> create(const std::string& label, std::string_view commonName) const;
    // Makes one under the keychain's lock when none is found, so that
    // processes starting together end with one identity. creating is told
    // before a new one is made.
    std::expected<LocalIdentity, IdentityError> loadOrCreate(const std::string& label, std::string_view commonName,
                                                             const std::function<void()>& creating = {}) const;
    // Deletes every item of the label, those of failed creations included;
    // reports nothing.
    void remove(const std::string& label) const;

private:
    std::expected<LocalIdentity, IdentityError> identityFrom(Certificate certificate, const std::string& label) const;

    Keychain keychain_;
};

} // namespace quillmere
