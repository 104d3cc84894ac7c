#pragma once

#include "Platform/Keychain/KeychainItem.h"
#include "Platform/Keychain/KeychainOutcome.h"
#include "Platform/Keychain/KeychainStatus.h"

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
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
    // How long a change waits for another holder of the lock: a host that
    // is stopped (a debugger, SIGSTOP) must not freeze this one with it.
    static constexpr std::chrono::milliseconds defaultLockWait{5000};
    // Guards changes and holds nothing: never read, never swept.
    static constexpr std::string_view lockFileName = ".lock";

    explicit Keychain(std::filesystem::path root, std::chrono::milliseconds lockWait = defaultLockWait)
        : root_(std::move(root)), lockWait_(lockWait) {}

    // $XDG_DATA_HOME/quillmere/keychain, with ~/.local/share when the
    // variable is unset or not an absolute path; an error without a home.
    static std::expected<std::filesystem::path, std::string> standardRoot();
    // Without a home, a keychain whose every operation fails.
    static Keychain standard() { return Keychain(standardRoot().value_or(std::filesystem::path())); }

    const std::filesystem::path& root() const { return root_; }
    // Where the item is or would be kept.
    std::filesystem::path fileOf(const KeychainItem& item) const;
    std::filesystem::path lockFile() const { return root_ / lockFileName; }
    // The lock file of some keychain folder, as an outcome names it.
    static bool isLockFile(const std::filesystem::path& file) { return file.filename() == lockFileName; }

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
    // folder cannot be locked, or another holder keeps the lock longer than
    // the lock wait.
    KeychainOutcome exclusively(const std::function<void(const Keychain&)>& body) const;

private:
    struct Stored {
        std::string name;
        KeychainItem item;
    };
    std::expected<std::vector<Stored>, KeychainOutcome> matching(const KeychainQuery& query) const;
    // itemNotFound when the folder does not exist, success when it may be used.
    KeychainOutcome checkFolder() const;
    // Takes the lock on fd, waiting for another holder up to the lock wait.
    KeychainOutcome lockWithin(int fd) const;
    KeychainOutcome addHeld(const KeychainItem& item) const;
    KeychainOutcome updateHeld(const KeychainQuery& query, ByteView data) const;
    KeychainOutcome removeHeld(const KeychainQuery& query) const;

    std::filesystem::path root_;
    std::chrono::milliseconds lockWait_;
    // Inside exclusively: the lock is taken already.
    bool held_ = false;
};

} // namespace quillmere
