#include "QuillmereTransport/Identity/IdentityError.h"

namespace quillmere {

std::string IdentityError::description() const {
    switch (kind_) {
    case Kind::keyGeneration: return "keyGeneration(\"" + text_ + "\")";
    case Kind::signing: return "signing(\"" + text_ + "\")";
    case Kind::keychain: return "keychain(" + std::to_string(status_) + ")";
    case Kind::identity: return "identity(" + std::to_string(status_) + ")";
    case Kind::certificate: return "certificate";
    }
    return "certificate";
}

std::string IdentityError::message() const {
    const std::string why = detail_.empty() ? description() : detail_;
    switch (kind_) {
    case Kind::keyGeneration: return "its key could not be made: " + (detail_.empty() ? text_ : detail_);
    case Kind::signing: return "its certificate could not be signed: " + text_;
    case Kind::keychain: return why;
    case Kind::identity: return "its private key cannot be found: " + why;
    case Kind::certificate: return detail_.empty() ? "its certificate cannot be read or made" : detail_;
    }
    return why;
}

} // namespace quillmere
