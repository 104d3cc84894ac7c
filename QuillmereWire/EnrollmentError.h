#pragma once

#include "QuillmereWire/WireEnums.h"

#include <cstdint>
#include <expected>
#include <string>

namespace quillmere {

// The error of invitations and of both halves of enrollment. Only
// malformedInvitation carries a text and only rejected an outcome.
class EnrollmentError {
public:
    enum class Kind : std::uint8_t {
        malformedInvitation,
        rejected,
        expired,
        hostFingerprintMismatch,
        invalidState,
        unexpectedMessage,
        invitationMismatch,
        hostProofInvalid,
        randomFailure,
    };

    // Where the invitation text could not be read: "scheme", "base64",
    // "version", "port", "address", or a WireError's description.
    static EnrollmentError malformedInvitation(std::string where) {
        return {Kind::malformedInvitation, std::move(where), EnrollmentOutcome::approved};
    }
    static EnrollmentError rejected(EnrollmentOutcome outcome) { return {Kind::rejected, {}, outcome}; }
    static EnrollmentError expired() { return EnrollmentError(Kind::expired); }
    static EnrollmentError hostFingerprintMismatch() { return EnrollmentError(Kind::hostFingerprintMismatch); }
    static EnrollmentError invalidState() { return EnrollmentError(Kind::invalidState); }
    static EnrollmentError unexpectedMessage() { return EnrollmentError(Kind::unexpectedMessage); }
    static EnrollmentError invitationMismatch() { return EnrollmentError(Kind::invitationMismatch); }
    static EnrollmentError hostProofInvalid() { return EnrollmentError(Kind::hostProofInvalid); }
    static EnrollmentError randomFailure() { return EnrollmentError(Kind::randomFailure); }

    Kind kind() const { return kind_; }
    // The malformedInvitation text; empty for every other case.
    const std::string& text() const { return text_; }
    // The rejected outcome; meaningless for every other case.
    EnrollmentOutcome outcome() const { return outcome_; }

    // "malformedInvitation(\"scheme\")", "rejected(denied)", "expired".
    std::string description() const;

    bool operator==(const EnrollmentError&) const = default;

private:
    explicit EnrollmentError(Kind kind) : kind_(kind), outcome_(EnrollmentOutcome::approved) {}
    EnrollmentError(Kind kind, std::string text, EnrollmentOutcome outcome)
        : kind_(kind), text_(std::move(text)), outcome_(outcome) {}

    Kind kind_;
    std::string text_;
    // Kept at approved outside rejected so that equality sees only the payload of the case.
    EnrollmentOutcome outcome_;
};

template <class T>
using EnrollmentResult = std::expected<T, EnrollmentError>;

} // namespace quillmere
