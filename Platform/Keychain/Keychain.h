#pragma once

#include "Platform/Keychain/KeychainItem.h"
#include "Platform/Keychain/KeychainStatus.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace quillmere {

// Items kept as one file each in a folder private to the user. Every change
// is atomic on disk: a process killed at any moment leaves each item as it
// was before or after the change. Operations return KeychainStatus values.
class Keychain {
public:
    explicit Keychain(std::filesystem::path root) : root_(std::move(root)) {}

    // $XDG_DATA_HOME/quillmere/keychain, with ~/.local/share when the
    // variable is unset or not an absolute path; an error without a home.
    static std::expected<std::filesystem::path, std::string> standardRoot();
    // Without a home, a keychain whose every operation fails.
    static Keychain standard() { return Keychain(standardRoot().value_or(std::filesystem::path())); }

    const std::filesystem::path& root() const { return root_; }

    // duplicateItem when an item with the same unique attributes exists.
    std::int32_t add(const KeychainItem& item) const;
    // The first match (in a stable order), or itemNotFound.
    std::expected<KeychainItem, std::int32_t> copyFirst(const KeychainQuery& query) const;
    // Every match, or itemNotFound when there is none.
    std::expected<std::vector<KeychainItem>, std::int32_t> copyAll(const KeychainQuery& query) const;
    // Replaces the data of every match; other attributes stay. itemNotFound when none matches.
    std::int32_t update(const KeychainQuery& query, ByteView data) const;
    // Deletes every match; itemNotFound when none matches.
    std::int32_t remove(const KeychainQuery& query) const;

private:
    struct Stored {
        std::string name;
        KeychainItem item;
    };
    std::expected<std::vector<Stored>, std::int32_t> matching(const KeychainQuery& query) const;

    std::filesystem::path root_;
};

} // namespace quillmere
