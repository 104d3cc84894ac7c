#include "QuillmereTransport/Identity/IdentityError.h"

#include "Platform/Keychain/KeychainOutcome.h"

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

namespace {

// The fixed texts of a key that could not be made, in words.
std::string keyFault(const std::string& text) {
    if (text == "random") return "no random bytes could be drawn";
    if (text == "public key") return "its public key could not be read";
    if (text == "unknown") return "the system gave no reason";
    return text;
}

} // namespace

std::string IdentityError::message() const {
    const std::string why = detail_.empty() ? KeychainOutcome(status_).description() : detail_;
    switch (kind_) {
    case Kind::keyGeneration: return "its key could not be made: " + (detail_.empty() ? keyFault(text_) : detail_);
    case Kind::signing: return "its certificate could not be signed: " + keyFault(text_);
    case Kind::keychain: return why;
    case Kind::identity:
        return std::string(status_ == KeychainStatus::itemNotFound ? "its private key cannot be found: "
                                                                   : "its private key cannot be read: ") +
               why;
    case Kind::certificate: return detail_.empty() ? "its certificate cannot be read or made" : detail_;
    }
    return why;
}

} // namespace quillmere
