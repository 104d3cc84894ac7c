#pragma once

#include <cstdint>
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
    // detail: the file at fault and what is wrong with it, in words.
    static IdentityError keychain(std::int32_t status, std::string detail = {}) {
        return {Kind::keychain, {}, status, std::move(detail)};
    }
    static IdentityError identity(std::int32_t status, std::string detail = {}) {
        return {Kind::identity, {}, status, std::move(detail)};
    }
    static IdentityError certificate(std::string detail = {}) { return {Kind::certificate, {}, 0, std::move(detail)}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    std::int32_t status() const { return status_; }
    // Words on the keychain's side of a failure; not part of equality.
    const std::string& detail() const { return detail_; }

    // keyGeneration("random"), keychain(-25299), certificate
    std::string description() const;
    // What failed, in words, with the file and the system's reason where
    // there are any.
    std::string message() const;

    bool operator==(const IdentityError& other) const {
        return kind_ == other.kind_ && text_ == other.text_ && status_ == other.status_;
    }

private:
    IdentityError(Kind kind, std::string text, std::int32_t status, std::string detail = {})
        : kind_(kind), text_(std::move(text)), status_(status), detail_(std::move(detail)) {}

    Kind kind_;
    std::string text_;
    std::int32_t status_;
    std::string detail_;
};

} // namespace quillmere
