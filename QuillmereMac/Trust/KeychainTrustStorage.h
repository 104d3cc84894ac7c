#pragma once

#include "Platform/Keychain/Keychain.h"
#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// The trust-store blob as one generic password in the keychain. Keeps no
// state of its own beyond which keychain it talks to: every operation names
// the item by service and account.
class KeychainTrustStorage {
public:
    static constexpr std::string_view baseService = "com.ornbeck.quillmere.mac.trust";
    static constexpr std::string_view account = "paired-devices";
    static constexpr std::string_view label = "QuillmereMac paired devices";

    // A keychain status other than success and not-found.
    class Failure {
    public:
        static Failure status(std::int32_t code) { return Failure(code); }
        std::int32_t code() const { return code_; }
        // "status(-36)"
        std::string description() const;
        bool operator==(const Failure&) const = default;

    private:
        explicit Failure(std::int32_t code) : code_(code) {}
        std::int32_t code_;
    };

    explicit KeychainTrustStorage(Keychain keychain) : keychain_(std::move(keychain)) {}

    // The service, followed by "." and the scope when a keychain scope is set.
    static std::string service(std::optional<std::string_view> scope);

    // The item's class, service and account. This keychain has no
    // synchronisation and no second keychain to choose, so those two
    // attributes of the item have nothing to say here.
    static KeychainQuery query(std::string_view service, std::string_view account);

    // No value when no item exists yet.
    std::expected<std::optional<Bytes>, Failure> load(std::string_view service, std::string_view account) const;
    // Replaces the item's data, or creates the item with its label.
    std::expected<void, Failure> save(ByteView blob, std::string_view service, std::string_view account) const;

    const Keychain& keychain() const { return keychain_; }

private:
    Keychain keychain_;
};

} // namespace quillmere
