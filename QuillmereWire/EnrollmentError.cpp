#include "QuillmereWire/EnrollmentError.h"

#include <fmt/format.h>

namespace quillmere {

std::string EnrollmentError::description() const {
    switch (kind_) {
    case Kind::malformedInvitation: return fmt::format("malformedInvitation(\"{}\")", text_);
    case Kind::rejected: return fmt::format("rejected({})", enumName(outcome_));
    case Kind::expired: return "expired";
    case Kind::hostFingerprintMismatch: return "hostFingerprintMismatch";
    case Kind::invalidState: return "invalidState";
    case Kind::unexpectedMessage: return "unexpectedMessage";
    case Kind::invitationMismatch: return "invitationMismatch";
    case Kind::hostProofInvalid: return "hostProofInvalid";
    case Kind::randomFailure: return "randomFailure";
    }
    return "unknown";
}

} // namespace quillmere
