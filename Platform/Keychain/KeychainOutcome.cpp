#include "Platform/Keychain/KeychainOutcome.h"

#include <ostream>

namespace quillmere {

namespace {

std::string statusWords(std::int32_t status) {
    switch (status) {
    case KeychainStatus::success: return "done";
    case KeychainStatus::itemNotFound: return "no such item";
    case KeychainStatus::duplicateItem: return "the item exists already";
    case KeychainStatus::parameter: return "a request the keychain cannot take";
    case KeychainStatus::io: return "input/output error";
    case KeychainStatus::decode: return "a damaged keychain record";
    }
    return "keychain status " + std::to_string(status);
}

} // namespace

std::string KeychainOutcome::description() const {
    const std::string why = reason.empty() ? statusWords(status) : reason;
    if (file.empty()) return why;
    return file.string() + " " + why;
}

std::ostream& operator<<(std::ostream& out, const KeychainOutcome& outcome) {
    return out << outcome.status << " (" << outcome.description() << ")";
}

} // namespace quillmere
