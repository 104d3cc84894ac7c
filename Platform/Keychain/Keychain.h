#pragma once

#include "Platform/Keychain/KeychainItem.h"
#include "Platform/Keychain/KeychainOutcome.h"
#include "Platform/Keychain/KeychainStatus.h"

#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quillmere {

// Items kept as one file each in a folder private to the user. Every change
// is atomic on disk: a process killed at any moment leaves each item as it
// was before or after the change. Changes hold a lock on the folder that
// other threads and processes honour. A record that is there but cannot be
// read, or is not a whole record of its name, is an error of its own
// (decode or io, with the file and the reason), never "not found", and is
// never replaced; so is a folder or record of another account, or one that
// other accounts could change.
class Keychain {
public:
    explicit Keychain(std::filesystem::path root) : root_(std::move(root)) {}

    // $XDG_DATA_HOME/quillmere/keychain, with ~/.local/share when the
    // variable is unset or not an absolute path; an error without a home.
    static std::expected<std::filesystem::path, std::string> standardRoot();
    // Without a home, a keychain whose every operation fails.
    static Keychain standard() { return Keychain(standardRoot().value_or(std::filesystem::path())); }

    const std::filesystem::path& root() const { return root_; }
    // Where the item is or would be kept.
    std::filesystem::path fileOf(const KeychainItem& item) const;

    // duplicateItem when an item with the same unique attributes exists.
    KeychainOutcome add(const KeychainItem& item) const;
    // The first match (in a stable order), or itemNotFound.
    std::expected<KeychainItem, KeychainOutcome> copyFirst(const KeychainQuery& query) const;
    // Every match, or itemNotFound when there is none.
    std::expected<std::vector<KeychainItem>, KeychainOutcome> copyAll(const KeychainQuery& query) const;
    // Replaces the data of every match; other attributes stay. itemNotFound when none matches.
    KeychainOutcome update(const KeychainQuery& query, ByteView data) const;
    // Deletes every match; itemNotFound when none matches.
    KeychainOutcome remove(const KeychainQuery& query) const;

    // Runs body while every other change to this folder, from this process
    // or another, waits: what body reads and writes through the keychain it
    // is given is one change to everyone else. Body must not use another
    // keychain over the same folder. Fails without running body when the
    // folder cannot be locked.
    KeychainOutcome exclusively(const std::function<void(const Keychain&)>& body) const;

private:
    struct Stored {
        std::string name;
        KeychainItem item;
    };
    std::expected<std::vector<Stored>, KeychainOutcome> matching(const KeychainQuery& query) const;
    // itemNotFound when the folder does not exist, success when it may be used.
    KeychainOutcome checkFolder() const;
    KeychainOutcome addHeld(const KeychainItem& item) const;
    KeychainOutcome updateHeld(const KeychainQuery& query, ByteView data) const;
    KeychainOutcome removeHeld(const KeychainQuery& query) const;

    std::filesystem::path root_;
    // Inside exclusively: the lock is taken already.
    bool held_ = false;
};

} // namespace quillmere
