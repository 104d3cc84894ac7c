#include "QuillmereWire/WireError.h"

#include <fmt/format.h>

namespace quillmere {

namespace {

WireError::Kind kindOf(ByteError::Kind kind) {
    switch (kind) {
    case ByteError::Kind::outOfRange: return WireError::Kind::outOfRange;
    case ByteError::Kind::truncated: return WireError::Kind::truncated;
    case ByteError::Kind::trailingBytes: return WireError::Kind::trailingBytes;
    case ByteError::Kind::invalidString: return WireError::Kind::invalidString;
    case ByteError::Kind::invalidBoolean: return WireError::Kind::invalidBoolean;
    }
    return WireError::Kind::outOfRange;
}

} // namespace

WireError::WireError(const ByteError& error) : kind_(kindOf(error.kind())), field_(error.field()), value_(0) {}

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
