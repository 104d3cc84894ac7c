#include "QuillmereWire/WireError.h"

#include <fmt/format.h>

namespace quillmere {

std::string WireError::description() const {
    switch (kind_) {
    case Kind::outOfRange: return fmt::format("outOfRange(\"{}\")", field_);
    case Kind::unknownValue: return fmt::format("unknownValue(\"{}\", {})", field_, value_);
    case Kind::frameTooLarge: return fmt::format("frameTooLarge({})", value_);
    case Kind::unsupportedMessage: return fmt::format("unsupportedMessage({})", value_);
    case Kind::versionMismatch: return fmt::format("versionMismatch({})", value_);
    case Kind::truncated: return "truncated";
    case Kind::trailingBytes: return "trailingBytes";
    case Kind::invalidString: return "invalidString";
    case Kind::invalidBoolean: return "invalidBoolean";
    case Kind::reservedBitsSet: return "reservedBitsSet";
    }
    return "unknown";
}

} // namespace quillmere
