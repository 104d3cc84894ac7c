#include "QuillmereMac/App/RootNames.h"

#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereTransport/Identity/IdentityStore.h"

extern char** environ;

namespace quillmere {

std::optional<std::string> RootNames::scopeOf(const Environment& environment) {
    const auto found = environment.find(scopeVariable);
    if (found == environment.end() || found->second.empty()) return std::nullopt;
    return found->second;
}

RootNames RootNames::from(const Environment& environment, std::string hostName, std::string mdnsHostName) {
    RootNames names;
    names.scope = scopeOf(environment);
    names.trustService = KeychainTrustStorage::service(names.scope);
    names.trustAccount = std::string(KeychainTrustStorage::account);
    names.identityLabel = IdentityStore::hostLabel(names.scope);
    names.hostName = std::move(hostName);
    names.pairingAddress = std::move(mdnsHostName);
    if (names.scope) {
        // Used as it is, even when empty.
        if (const auto address = environment.find(pairingAddressVariable); address != environment.end())
            names.pairingAddress = address->second;
    }
    names.advertise = !names.scope.has_value();
    const auto pattern = environment.find(testPatternVariable);
    names.testPatternFromEnvironment = pattern != environment.end() && pattern->second == "1";
    return names;
}

RootNames::Environment RootNames::processEnvironment() {
    Environment environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return environment;
}

} // namespace quillmere
