#pragma once

#include "QuillmereBase/Bytes.h"

#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace quillmere {

// Where the trust blob lives. Failures are the storage's own errors, handed
// over as their text: the store only reports them.
class TrustStorage {
public:
    // Given what is stored (no value when nothing), the blob to store
    // instead, or no value to leave it.
    using Edit = std::function<std::optional<Bytes>(const std::optional<Bytes>& stored)>;

    virtual ~TrustStorage() = default;

    // The stored blob, or no value when nothing was ever saved.
    virtual std::expected<std::optional<Bytes>, std::string> load() = 0;
    // Replaces whatever was stored.
    virtual std::expected<void, std::string> save(ByteView blob) = 0;
    // One change to what is stored now, with no one else's change in
    // between. A storage that others (another process) share holds them
    // off meanwhile; this one, for a storage of one store alone, does not.
    virtual std::expected<void, std::string> change(const Edit& edit) {
        auto stored = load();
        if (!stored) return std::unexpected(std::move(stored.error()));
        auto next = edit(*stored);
        if (!next) return {};
        return save(viewOf(*next));
    }
    // Where the blob lives, as a user would look for it.
    virtual std::string location() const { return "the stored list"; }
};

} // namespace quillmere
