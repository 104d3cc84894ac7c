#pragma once

#include "Platform/Keychain/KeychainStatus.h"

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>

namespace quillmere {

// What a keychain operation came to: the status callers compare with
// KeychainStatus values, and for a failure the file or folder at fault and
// the reason, so that what the user is told names both.
struct KeychainOutcome {
    // What kind of fault a record has, where the advice depends on it.
    enum class Fault : std::uint8_t {
        other,
        // There, but this account may not read it: its mode can be mended.
        unreadable,
        // Written by a newer program, which can read it.
        newerFormat,
    };

    std::int32_t status = KeychainStatus::success;
    std::filesystem::path file;
    // What is wrong with the file, to follow its name: "is damaged (…)",
    // "belongs to another account (uid 1001)", "cannot be read: permission denied".
    std::string reason;
    Fault fault = Fault::other;

    KeychainOutcome() = default;
    KeychainOutcome(std::int32_t status, std::filesystem::path file = {}, std::string reason = {})
        : status(status), file(std::move(file)), reason(std::move(reason)) {}

    bool succeeded() const { return status == KeychainStatus::success; }
    // The file and the reason, or words for the status alone:
    // "/home/u/.local/share/quillmere/keychain/password-82… is a symbolic link, not a keychain record".
    std::string description() const;

    bool operator==(std::int32_t other) const { return status == other; }
    bool operator==(const KeychainOutcome& other) const { return status == other.status; }
};

std::ostream& operator<<(std::ostream& out, const KeychainOutcome& outcome);

} // namespace quillmere
