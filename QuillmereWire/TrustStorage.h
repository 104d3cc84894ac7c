#pragma once

#include "QuillmereBase/Bytes.h"

#include <expected>
#include <optional>
#include <string>

namespace quillmere {

// Where the trust blob lives. Failures are the storage's own errors, handed
// over as their text: the store only reports them.
class TrustStorage {
public:
    virtual ~TrustStorage() = default;

    // The stored blob, or no value when nothing was ever saved.
    virtual std::expected<std::optional<Bytes>, std::string> load() = 0;
    // Replaces whatever was stored.
    virtual std::expected<void, std::string> save(ByteView blob) = 0;
};

} // namespace quillmere
