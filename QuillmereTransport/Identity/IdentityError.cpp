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

} // namespace quillmere
