#include "QuillmereWire/TrustStoreError.h"

#include <fmt/format.h>

namespace quillmere {

namespace {

// What is wrong with a blob, to follow where it lives.
std::string blobFault(const WireError& error, const std::optional<std::uint8_t>& versionFound, bool newer) {
    switch (error.kind()) {
    case WireError::Kind::versionMismatch:
        if (!versionFound) return "holds paired devices in a format that this version of Quillmere does not know";
        if (newer)
            return fmt::format(
                "holds paired devices in a newer format (version {}) than this version of Quillmere reads",
                *versionFound);
        return fmt::format("holds paired devices in a format that this version of Quillmere does not know (version {})",
                           *versionFound);
    case WireError::Kind::truncated: return "is damaged: its list of paired devices ends too soon";
    case WireError::Kind::trailingBytes: return "is damaged: something follows its list of paired devices";
    case WireError::Kind::outOfRange:
        if (error.field() == "trust.count") return "is damaged: it counts more than 32 paired devices";
        if (error.field() == "trust.name") return "is damaged: a paired device's name is longer than 64 bytes";
        break;
    case WireError::Kind::unknownValue:
        if (error.field() == "trust.role")
            return fmt::format("gives a paired device role {}, which this version of Quillmere does not know",
                               error.value());
        break;
    case WireError::Kind::invalidString: return "is damaged: a paired device's name is not UTF-8 text";
    case WireError::Kind::frameTooLarge:
    case WireError::Kind::unsupportedMessage:
    case WireError::Kind::invalidBoolean:
    case WireError::Kind::reservedBitsSet: break;
    }
    return "is damaged";
}

} // namespace

std::string TrustStoreError::description() const {
    switch (kind_) {
    case Kind::corrupt: return fmt::format("corrupt({})", wireError_.description());
    case Kind::storage: return fmt::format("storage(\"{}\")", text_);
    case Kind::full: return "full";
    }
    return "unknown";
}

std::string TrustStoreError::message() const {
    switch (kind_) {
    case Kind::corrupt:
        return fmt::format("{} {}", location_.empty() ? "the stored list" : location_,
                           blobFault(wireError_, versionFound_, newerFormat_));
    case Kind::storage: return text_;
    case Kind::full: return "32 devices are paired already; remove one to pair another";
    }
    return description();
}

} // namespace quillmere
