#include "Platform/Keychain/Keychain.h"

#include "Platform/Files/PrivateFiles.h"
#include "Platform/Files/UserFolders.h"
#include "Platform/Keychain/AtomicFile.h"
#include "Platform/Keychain/KeychainItemFile.h"
#include "QuillmereBase/FileDescriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>
#include <thread>

namespace quillmere {

namespace {

constexpr std::chrono::minutes abandonedWriteAge{10};
// Between tries for a lock another holds: short at first, as changes are.
constexpr std::chrono::milliseconds firstLockPause{1};
constexpr std::chrono::milliseconds longestLockPause{50};
// Said of a lock file that cannot be used: unlike a record, it loses nothing.
constexpr std::string_view lockAdvice = "; it holds nothing and can be removed";

KeychainOutcome outcomeOf(AtomicFile::Result result, const std::filesystem::path& folder, const std::string& name) {
    switch (result.outcome) {
    case AtomicFile::Outcome::done: return KeychainStatus::success;
    case AtomicFile::Outcome::nameTaken: return KeychainStatus::duplicateItem;
    case AtomicFile::Outcome::nameMissing: return KeychainStatus::itemNotFound;
    case AtomicFile::Outcome::failed: break;
    }
    // A record is written as a new file renamed over it: what refuses is the
    // folder, unless a folder took the record's name.
    const auto at = result.error == EISDIR ? folder / name : folder;
    return {KeychainStatus::io, at, "cannot be written: " + PrivateFiles::reason(result.error)};
}

std::unexpected<KeychainOutcome> fault(std::int32_t status, const std::filesystem::path& file, std::string reason,
                                       KeychainOutcome::Fault kind = KeychainOutcome::Fault::other) {
    KeychainOutcome outcome{status, file, std::move(reason)};
    outcome.fault = kind;
    return std::unexpected(std::move(outcome));
}

// The bytes of a record as they lie; none when nothing has its name.
std::expected<std::optional<Bytes>, KeychainOutcome> readRecord(const std::filesystem::path& file) {
    // Not blocking: a pipe planted under a record's name must not hang us.
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.valid()) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == ELOOP) return fault(KeychainStatus::decode, file, "is a symbolic link, not a keychain record");
        const auto kind = errno == EACCES || errno == EPERM ? KeychainOutcome::Fault::unreadable
                                                             : KeychainOutcome::Fault::other;
        return fault(KeychainStatus::io, file, "cannot be read: " + PrivateFiles::reason(errno), kind);
    }
    if (auto ours = PrivateFiles::file(fd.get()); !ours) {
        const bool wrongKind = ours.error().kind == PrivateFiles::Problem::Kind::wrongKind;
        return fault(wrongKind ? KeychainStatus::decode : KeychainStatus::io, file, ours.error().reason);
    }
    auto bytes = fd.readToEnd();
    if (!bytes) return fault(KeychainStatus::io, file, "cannot be read: " + PrivateFiles::reason(bytes.error()));
    return std::move(*bytes);
}

// The item kept under a name. A record of another name was moved by hand:
// not trusted.
std::expected<std::optional<KeychainItem>, KeychainOutcome> readItem(const std::filesystem::path& folder,
                                                                     const std::string& name) {
    const std::filesystem::path file = folder / name;
    auto bytes = readRecord(file);
    if (!bytes) return std::unexpected(bytes.error());
    if (!*bytes) return std::nullopt;
    auto item = KeychainItemFile::decode(viewOf(**bytes));
    if (!item) {
        if (const auto version = KeychainItemFile::newerFormat(viewOf(**bytes)))
            return fault(KeychainStatus::decode, file,
                         "holds a record of a newer format (version " + std::to_string(*version) +
                             ") than this version of Quillmere reads",
                         KeychainOutcome::Fault::newerFormat);
        return fault(KeychainStatus::decode, file, "is damaged (not a whole keychain record)");
    }
    if (KeychainItemFile::nameOf(*item) != name)
        return fault(KeychainStatus::decode, file, "holds another item's record");
    return item;
}

// The one name a query can match, when it fixes what makes an item unique.
std::optional<std::string> exactName(const KeychainQuery& query) {
    KeychainItem item;
    item.itemClass = query.itemClass;
    switch (query.itemClass) {
    case KeychainItemClass::genericPassword:
        if (!query.service || !query.account) return std::nullopt;
        item.service = *query.service;
        item.account = *query.account;
        break;
    case KeychainItemClass::key:
        if (!query.applicationTag || !query.applicationLabel) return std::nullopt;
        item.applicationTag = *query.applicationTag;
        item.applicationLabel = *query.applicationLabel;
        break;
    case KeychainItemClass::certificate: return std::nullopt;
    }
    return KeychainItemFile::nameOf(item);
}

KeychainOutcome noFolder() {
    return {KeychainStatus::io, {}, "there is no keychain folder, as this account has no home folder"};
}

} // namespace

std::expected<std::filesystem::path, std::string> Keychain::standardRoot() {
    auto data = UserFolders::of(UserFolders::data);
    if (!data) return data;
    return *data / "quillmere" / "keychain";
}

std::filesystem::path Keychain::fileOf(const KeychainItem& item) const {
    return root_ / KeychainItemFile::nameOf(item);
}

std::expected<std::vector<Keychain::Stored>, KeychainOutcome> Keychain::matching(const KeychainQuery& query) const {
    std::vector<Stored> found;
    if (auto there = checkFolder(); !there.succeeded()) {
        if (there == KeychainStatus::itemNotFound) return found;
        return std::unexpected(there);
    }

    if (const auto name = exactName(query)) {
        auto item = readItem(root_, *name);
        if (!item) return std::unexpected(item.error());
        if (*item && query.matches(**item)) found.push_back({*name, std::move(**item)});
        return found;
    }
    // A damaged record is not taken for a missing item: with no readable
    // match, the first damage is the answer.
    std::optional<KeychainOutcome> damage;
    std::error_code error;
    std::filesystem::directory_iterator entries(root_, error);
    if (error) return fault(KeychainStatus::io, root_, "cannot be read: " + error.message());
    for (std::filesystem::directory_iterator end; entries != end; entries.increment(error)) {
        std::string name = entries->path().filename().string();
        if (!KeychainItemFile::isRecordName(name, query.itemClass)) continue;
        auto item = readItem(root_, name);
        if (!item) {
            if (!damage) damage = item.error();
            continue;
        }
        // None: deleted meanwhile by another process.
        if (*item && query.matches(**item)) found.push_back({std::move(name), std::move(**item)});
    }
    if (error) return fault(KeychainStatus::io, root_, "cannot be read: " + error.message());
    if (found.empty() && damage) return std::unexpected(*damage);
    std::sort(found.begin(), found.end(), [](const Stored& a, const Stored& b) { return a.name < b.name; });
    return found;
}

KeychainOutcome Keychain::checkFolder() const {
    // Nothing is made on disk for nothing to change: the lock would make the folder.
    if (root_.empty()) return noFolder();
    const auto folder = PrivateFiles::folder(root_, false);
    if (!folder) return {KeychainStatus::io, root_, folder.error().reason};
    if (*folder == PrivateFiles::Folder::missing) return KeychainStatus::itemNotFound;
    return KeychainStatus::success;
}

KeychainOutcome Keychain::exclusively(const std::function<void(const Keychain&)>& body) const {
    if (held_) {
        body(*this);
        return KeychainStatus::success;
    }
    if (root_.empty()) return noFolder();
    if (auto folder = PrivateFiles::folder(root_, true); !folder)
        return {KeychainStatus::io, root_, folder.error().reason};
    const std::filesystem::path lock = lockFile();
    // flock, not fcntl locks: those belong to the process, so two threads of
    // one host would not wait for each other.
    FileDescriptor fd(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) {
        const int error = errno;
        // Nothing there, not even a link: the folder refused to have it made.
        struct stat info {};
        if (::lstat(lock.c_str(), &info) != 0 && errno == ENOENT)
            return {KeychainStatus::io, root_, "cannot be written: " + PrivateFiles::reason(error)};
        return {KeychainStatus::io, lock, "cannot be opened: " + PrivateFiles::reason(error) + std::string(lockAdvice)};
    }
    if (auto ours = PrivateFiles::file(fd.get()); !ours)
        return {KeychainStatus::io, lock, ours.error().reason + std::string(lockAdvice)};
    if (auto locked = lockWithin(fd.get()); !locked.succeeded()) return locked;
    AtomicFile::sweepTemporaries(root_, abandonedWriteAge);
    Keychain held(root_, lockWait_);
    held.held_ = true;
    body(held);
    return KeychainStatus::success;
}

KeychainOutcome Keychain::lockWithin(int fd) const {
    const auto deadline = std::chrono::steady_clock::now() + lockWait_;
    auto pause = firstLockPause;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return KeychainStatus::success;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK)
            return {KeychainStatus::io, lockFile(),
                    "cannot be locked: " + PrivateFiles::reason(errno) + std::string(lockAdvice)};
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return {KeychainStatus::io, lockFile(),
                    "is held by another Quillmere that does not answer; nothing was changed"};
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, longestLockPause);
    }
}

KeychainOutcome Keychain::add(const KeychainItem& item) const {
    if (held_) return addHeld(item);
    KeychainOutcome result;
    const KeychainOutcome locked = exclusively([&](const Keychain& held) { result = held.addHeld(item); });
    return locked.succeeded() ? result : locked;
}

KeychainOutcome Keychain::addHeld(const KeychainItem& item) const {
    const std::string name = KeychainItemFile::nameOf(item);
    const Bytes record = KeychainItemFile::encode(item);
    const auto created = AtomicFile::create(root_, name, viewOf(record));
    if (created.outcome != AtomicFile::Outcome::nameTaken) return outcomeOf(created, root_, name);
    // Only a whole record of this item makes a duplicate; whatever else has
    // its name stays as it is.
    auto existing = readItem(root_, name);
    if (!existing) return existing.error();
    if (!*existing) return outcomeOf(AtomicFile::create(root_, name, viewOf(record)), root_, name);
    return KeychainStatus::duplicateItem;
}

std::expected<KeychainItem, KeychainOutcome> Keychain::copyFirst(const KeychainQuery& query) const {
    auto all = copyAll(query);
    if (!all) return std::unexpected(all.error());
    return std::move(all->front());
}

std::expected<std::vector<KeychainItem>, KeychainOutcome> Keychain::copyAll(const KeychainQuery& query) const {
    auto found = matching(query);
    if (!found) return std::unexpected(found.error());
    if (found->empty()) return std::unexpected(KeychainOutcome(KeychainStatus::itemNotFound));
    std::vector<KeychainItem> items;
    items.reserve(found->size());
    for (auto& stored : *found) items.push_back(std::move(stored.item));
    return items;
}

KeychainOutcome Keychain::update(const KeychainQuery& query, ByteView data) const {
    if (held_) return updateHeld(query, data);
    if (auto folder = checkFolder(); !folder.succeeded()) return folder;
    KeychainOutcome result;
    const KeychainOutcome locked = exclusively([&](const Keychain& held) { result = held.updateHeld(query, data); });
    return locked.succeeded() ? result : locked;
}

KeychainOutcome Keychain::updateHeld(const KeychainQuery& query, ByteView data) const {
    auto found = matching(query);
    if (!found) return found.error();
    if (found->empty()) return KeychainStatus::itemNotFound;
    for (auto& stored : *found) {
        stored.item.data.assign(data.begin(), data.end());
        const std::string name = KeychainItemFile::nameOf(stored.item);
        const Bytes record = KeychainItemFile::encode(stored.item);
        if (name == stored.name) {
            const auto status = outcomeOf(AtomicFile::replace(root_, name, viewOf(record)), root_, name);
            if (!status.succeeded()) return status;
            continue;
        }
        // A certificate is known by its bytes: new bytes make a new item,
        // which must not collide with another before the old one goes.
        if (auto status = addHeld(stored.item); !status.succeeded()) return status;
        if (auto status = outcomeOf(AtomicFile::remove(root_, stored.name), root_, stored.name);
            !status.succeeded() && status != KeychainStatus::itemNotFound)
            return status;
    }
    return KeychainStatus::success;
}

KeychainOutcome Keychain::remove(const KeychainQuery& query) const {
    if (held_) return removeHeld(query);
    if (auto folder = checkFolder(); !folder.succeeded()) return folder;
    KeychainOutcome result;
    const KeychainOutcome locked = exclusively([&](const Keychain& held) { result = held.removeHeld(query); });
    return locked.succeeded() ? result : locked;
}

KeychainOutcome Keychain::removeHeld(const KeychainQuery& query) const {
    auto found = matching(query);
    if (!found) return found.error();
    if (found->empty()) return KeychainStatus::itemNotFound;
    KeychainOutcome result = KeychainStatus::success;
    for (const auto& stored : *found) {
        const auto status = outcomeOf(AtomicFile::remove(root_, stored.name), root_, stored.name);
        if (!status.succeeded() && status != KeychainStatus::itemNotFound) result = status;
    }
    return result;
}

} // namespace quillmere
