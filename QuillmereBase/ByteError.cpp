#include "QuillmereBase/ByteError.h"

namespace quillmere {

std::string ByteError::description() const {
    switch (kind_) {
    case Kind::outOfRange: return "outOfRange(\"" + field_ + "\")";
    case Kind::truncated: return "truncated";
    case Kind::trailingBytes: return "trailingBytes";
    case Kind::invalidString: return "invalidString";
    case Kind::invalidBoolean: return "invalidBoolean";
    }
    return "unknown";
}

} // namespace quillmere
