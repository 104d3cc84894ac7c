#include "QuillmereWire/TrustStoreError.h"

#include <fmt/format.h>

namespace quillmere {

std::string TrustStoreError::description() const {
    switch (kind_) {
    case Kind::corrupt: return fmt::format("corrupt({})", wireError_.description());
    case Kind::storage: return fmt::format("storage(\"{}\")", text_);
    case Kind::full: return "full";
    }
    return "unknown";
}

} // namespace quillmere
