#pragma once

#include "Platform/Keychain/Keychain.h"
#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
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
        // detail: the file and what is wrong with it, in words.
        static Failure status(std::int32_t code, std::string detail = {}) {
            return Failure(code, std::move(detail), KeychainOutcome::Fault::other);
        }
        static Failure of(const KeychainOutcome& outcome) {
            return Failure(outcome.status, outcome.description(), outcome.fault);
        }
        std::int32_t code() const { return code_; }
        // What kind of fault the record has, for the advice.
        KeychainOutcome::Fault fault() const { return fault_; }
        // The detail, else the status in words ("input/output error").
        std::string description() const;
        // Codes alone: the words only explain them.
        bool operator==(const Failure& other) const { return code_ == other.code_; }

    private:
        Failure(std::int32_t code, std::string detail, KeychainOutcome::Fault fault)
            : code_(code), detail_(std::move(detail)), fault_(fault) {}
        std::int32_t code_;
        std::string detail_;
        KeychainOutcome::Fault fault_;
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
    // Load, edit and save with every other writer of the keychain, in any
    // process, held off: edit gives the blob to save, or no value to leave it.
    std::expected<void, Failure> change(const std::function<std::optional<Bytes>(const std::optional<Bytes>&)>& edit,
                                        std::string_view service, std::string_view account) const;
    // The file that holds the item.
    std::filesystem::path fileOf(std::string_view service, std::string_view account) const;

    const Keychain& keychain() const { return keychain_; }

private:
    Keychain keychain_;
};

} // namespace quillmere
