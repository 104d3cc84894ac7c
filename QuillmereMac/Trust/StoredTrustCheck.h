#pragma once

#include "QuillmereBase/Digest32.h"
#include "QuillmereMac/Trust/KeychainTrustStorage.h"

#include <functional>
#include <optional>
#include <string>

namespace quillmere {

// Whether the paired devices stored now hold a fingerprint, read afresh for
// a handshake. It does not wait for the keychain's lock: records are
// replaced whole, so a read sees the list before or after any change, and a
// handshake must not wait on another process that holds the lock.
class StoredTrustCheck {
public:
    // stale is told, on the caller's thread, when the stored list no longer
    // holds a fingerprint or cannot be read: what this host last read is
    // out of date.
    StoredTrustCheck(KeychainTrustStorage storage, std::string service, std::string account,
                     std::function<void()> stale)
        : storage_(std::move(storage)), service_(std::move(service)), account_(std::move(account)),
          stale_(std::move(stale)) {}

    // None when the list cannot be read.
    std::optional<bool> operator()(const Digest32& fingerprint) const;

private:
    KeychainTrustStorage storage_;
    std::string service_;
    std::string account_;
    std::function<void()> stale_;
};

} // namespace quillmere
