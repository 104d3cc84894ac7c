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

std::string TrustStoreError::message() const {
    switch (kind_) {
    case Kind::corrupt:
        return fmt::format("{} holds no list of paired devices that this version can read ({})",
                           location_.empty() ? "the stored list" : location_, wireError_.description());
    case Kind::storage: return text_;
    case Kind::full: return "32 devices are paired already; remove one to pair another";
    }
    return description();
}

} // namespace quillmere
