#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

class QFileSystemWatcher;

namespace quillmere {

// Follows the keychain folder for another host's changes to the stored list
// of paired devices, also once the folder was moved aside and made again.
// Tells of a change only when the folder or the list's record is another
// than last seen: a failed write of this host's own (a temporary made and
// removed) does not call it again and again. Main thread only.
class TrustFolderWatch {
public:
    TrustFolderWatch(std::filesystem::path folder, std::filesystem::path record, std::function<void()> changed);
    ~TrustFolderWatch();
    TrustFolderWatch(const TrustFolderWatch&) = delete;
    TrustFolderWatch& operator=(const TrustFolderWatch&) = delete;

    // Looks again, as an event would: follows a folder made anew and tells
    // of a change.
    void check();

private:
    // What identifies a file and what a change to it changes.
    struct Stamp {
        bool present = false;
        dev_t device = 0;
        ino_t inode = 0;
        mode_t mode = 0;
        uid_t owner = 0;
        off_t size = 0;
        std::int64_t modifiedNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const std::filesystem::path& path, bool contents);
    // Watches the folder as it is now, and its parent for it to be made anew.
    void arm();

    std::filesystem::path folder_;
    std::filesystem::path record_;
    std::function<void()> changed_;
    std::unique_ptr<QFileSystemWatcher> watcher_;
    Stamp armed_;
    Stamp folderSeen_;
    Stamp recordSeen_;
};

} // namespace quillmere
