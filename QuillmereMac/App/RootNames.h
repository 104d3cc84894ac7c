#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// What the composition root is named with, from the program's environment:
// a keychain scope (in force when set and not empty) gives the trust store
// and the identity names of their own, turns the advertisement and the
// update check off and has its keychain items deleted at quit.
struct RootNames {
    using Environment = std::map<std::string, std::string, std::less<>>;

    static constexpr std::string_view scopeVariable = "QUILLMERE_MAC_KEYCHAIN_SCOPE";
    static constexpr std::string_view pairingAddressVariable = "QUILLMERE_MAC_PAIRING_ADDRESS";
    static constexpr std::string_view testPatternVariable = "QUILLMERE_MAC_TEST_PATTERN";

    std::optional<std::string> scope;
    std::string trustService;
    std::string trustAccount;
    std::string identityLabel;
    // Shown and advertised.
    std::string hostName;
    // Written into pairing invitations.
    std::string pairingAddress;
    bool advertise = true;
    // QUILLMERE_MAC_TEST_PATTERN is "1".
    bool testPatternFromEnvironment = false;

    // The scope in force: none when the variable is absent or empty.
    static std::optional<std::string> scopeOf(const Environment& environment);
    static RootNames from(const Environment& environment, std::string hostName, std::string mdnsHostName);
    // The process's environment, read once.
    static Environment processEnvironment();
};

} // namespace quillmere
