#pragma once

#include "Platform/Keychain/KeychainOutcome.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace quillmere {

// Why the host's identity could not be loaded or made.
class IdentityError {
public:
    enum class Kind : std::uint8_t {
        keyGeneration, // text
        signing,       // text
        keychain,      // status
        identity,      // status
        certificate,
    };

    static IdentityError keyGeneration(std::string text) { return {Kind::keyGeneration, std::move(text), 0}; }
    static IdentityError signing(std::string text) { return {Kind::signing, std::move(text), 0}; }
    // detail: the file at fault and what is wrong with it, in words; file:
    // that file, when one is.
    static IdentityError keychain(std::int32_t status, std::string detail = {}, std::filesystem::path file = {}) {
        return {Kind::keychain, {}, status, std::move(detail), std::move(file)};
    }
    static IdentityError identity(std::int32_t status, std::string detail = {}, std::filesystem::path file = {}) {
        return {Kind::identity, {}, status, std::move(detail), std::move(file)};
    }
    // The keychain's failure, with its words, its file and its kind of fault.
    static IdentityError keychain(const KeychainOutcome& outcome) {
        return std::move(keychain(outcome.status, outcome.description(), outcome.file)).withFault(outcome.fault);
    }
    static IdentityError identity(const KeychainOutcome& outcome) {
        return std::move(identity(outcome.status, outcome.description(), outcome.file)).withFault(outcome.fault);
    }
    static IdentityError certificate(std::string detail = {}) { return {Kind::certificate, {}, 0, std::move(detail)}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    std::int32_t status() const { return status_; }
    // Words on the keychain's side of a failure, and the file it is about;
    // not part of equality.
    const std::string& detail() const { return detail_; }
    const std::filesystem::path& file() const { return file_; }
    // What kind of fault the file has, for the advice; not part of equality.
    KeychainOutcome::Fault fault() const { return fault_; }

    // keyGeneration("random"), keychain(-25299), certificate
    std::string description() const;
    // What failed, in words, with the file and the system's reason where
    // there are any.
    std::string message() const;

    bool operator==(const IdentityError& other) const {
        return kind_ == other.kind_ && text_ == other.text_ && status_ == other.status_;
    }

private:
    IdentityError(Kind kind, std::string text, std::int32_t status, std::string detail = {},
                  std::filesystem::path file = {})
        : kind_(kind), text_(std::move(text)), status_(status), detail_(std::move(detail)), file_(std::move(file)) {}
    IdentityError withFault(KeychainOutcome::Fault fault) && {
        fault_ = fault;
        return std::move(*this);
    }

    Kind kind_;
    std::string text_;
    std::int32_t status_;
    std::string detail_;
    std::filesystem::path file_;
    KeychainOutcome::Fault fault_ = KeychainOutcome::Fault::other;
};

} // namespace quillmere
