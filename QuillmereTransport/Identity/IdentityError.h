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
    static IdentityError keychain(std::int32_t status) { return {Kind::keychain, {}, status}; }
    static IdentityError identity(std::int32_t status) { return {Kind::identity, {}, status}; }
    static IdentityError certificate() { return {Kind::certificate, {}, 0}; }

    Kind kind() const { return kind_; }
    const std::string& text() const { return text_; }
    std::int32_t status() const { return status_; }

    // keyGeneration("random"), keychain(-25299), certificate
    std::string description() const;

    bool operator==(const IdentityError&) const = default;

private:
    IdentityError(Kind kind, std::string text, std::int32_t status)
        : kind_(kind), text_(std::move(text)), status_(status) {}

    Kind kind_;
    std::string text_;
    std::int32_t status_;
};

} // namespace quillmere
