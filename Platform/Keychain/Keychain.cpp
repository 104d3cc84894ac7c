#include "Platform/Keychain/Keychain.h"

#include "Platform/Files/UserFolders.h"
#include "Platform/Keychain/AtomicFile.h"
#include "Platform/Keychain/KeychainItemFile.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <system_error>

namespace quillmere {

namespace {

// Read-modify-write sequences of one process never interleave; between
// processes each single file change is atomic.
std::mutex& keychainMutex() {
    static std::mutex mutex;
    return mutex;
}

std::int32_t statusOf(AtomicFile::Outcome outcome) {
    switch (outcome) {
    case AtomicFile::Outcome::done: return KeychainStatus::success;
    case AtomicFile::Outcome::nameTaken: return KeychainStatus::duplicateItem;
    case AtomicFile::Outcome::nameMissing: return KeychainStatus::itemNotFound;
    case AtomicFile::Outcome::failed: return KeychainStatus::io;
    }
    return KeychainStatus::io;
}

constexpr std::chrono::minutes abandonedWriteAge{10};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// A file under an item's name that is not a whole record (damaged outside
// this program) holds nothing; it may be replaced.
bool holdsItem(const std::filesystem::path& file) {
    auto bytes = AtomicFile::read(file);
    return bytes && KeychainItemFile::decode(viewOf(*bytes)).has_value();
}

} // namespace

std::expected<std::filesystem::path, std::string> Keychain::standardRoot() {
    auto data = UserFolders::of(UserFolders::data);
    if (!data) return data;
    return *data / "quillmere" / "keychain";
}

std::expected<std::vector<Keychain::Stored>, std::int32_t> Keychain::matching(const KeychainQuery& query) const {
    std::vector<Stored> found;
    std::error_code error;
    std::filesystem::directory_iterator entries(root_, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory) return found;
        return std::unexpected(KeychainStatus::io);
    }
    const std::string prefix = KeychainItemFile::prefixOf(query.itemClass);
    for (std::filesystem::directory_iterator end; entries != end; entries.increment(error)) {
        const auto& entry = *entries;
        std::string name = entry.path().filename().string();
        if (!startsWith(name, prefix)) continue;
        auto bytes = AtomicFile::read(entry.path());
        if (!bytes) continue; // deleted meanwhile by another process
        auto item = KeychainItemFile::decode(viewOf(*bytes));
        // A record under another item's name was moved by hand: not trusted.
        if (!item || KeychainItemFile::nameOf(*item) != name || !query.matches(*item)) continue;
        found.push_back({std::move(name), std::move(*item)});
    }
    if (error) return std::unexpected(KeychainStatus::io);
    std::sort(found.begin(), found.end(), [](const Stored& a, const Stored& b) { return a.name < b.name; });
    return found;
}

std::int32_t Keychain::add(const KeychainItem& item) const {
    std::lock_guard lock(keychainMutex());
    if (!AtomicFile::prepareFolder(root_)) return KeychainStatus::io;
    AtomicFile::sweepTemporaries(root_, abandonedWriteAge);
    const std::string name = KeychainItemFile::nameOf(item);
    const Bytes record = KeychainItemFile::encode(item);
    const AtomicFile::Outcome outcome = AtomicFile::create(root_, name, viewOf(record));
    if (outcome == AtomicFile::Outcome::nameTaken && !holdsItem(root_ / name))
        return statusOf(AtomicFile::replace(root_, name, viewOf(record)));
    return statusOf(outcome);
}

std::expected<KeychainItem, std::int32_t> Keychain::copyFirst(const KeychainQuery& query) const {
    auto all = copyAll(query);
    if (!all) return std::unexpected(all.error());
    return std::move(all->front());
}

std::expected<std::vector<KeychainItem>, std::int32_t> Keychain::copyAll(const KeychainQuery& query) const {
    std::lock_guard lock(keychainMutex());
    auto found = matching(query);
    if (!found) return std::unexpected(found.error());
    if (found->empty()) return std::unexpected(KeychainStatus::itemNotFound);
    std::vector<KeychainItem> items;
    items.reserve(found->size());
    for (auto& stored : *found) items.push_back(std::move(stored.item));
    return items;
}

std::int32_t Keychain::update(const KeychainQuery& query, ByteView data) const {
    std::lock_guard lock(keychainMutex());
    auto found = matching(query);
    if (!found) return found.error();
    if (found->empty()) return KeychainStatus::itemNotFound;
    if (!AtomicFile::prepareFolder(root_)) return KeychainStatus::io;
    for (auto& stored : *found) {
        stored.item.data.assign(data.begin(), data.end());
        const std::string name = KeychainItemFile::nameOf(stored.item);
        const Bytes record = KeychainItemFile::encode(stored.item);
        if (name == stored.name) {
            if (auto status = statusOf(AtomicFile::replace(root_, name, viewOf(record))); status != 0) return status;
            continue;
        }
        // A certificate is known by its bytes: new bytes make a new item,
        // which must not collide with another before the old one goes.
        if (auto status = statusOf(AtomicFile::create(root_, name, viewOf(record))); status != 0) return status;
        if (auto status = statusOf(AtomicFile::remove(root_, stored.name));
            status != 0 && status != KeychainStatus::itemNotFound)
            return status;
    }
    return KeychainStatus::success;
}

std::int32_t Keychain::remove(const KeychainQuery& query) const {
    std::lock_guard lock(keychainMutex());
    auto found = matching(query);
    if (!found) return found.error();
    if (found->empty()) return KeychainStatus::itemNotFound;
    std::int32_t result = KeychainStatus::success;
    for (const auto& stored : *found) {
        const std::int32_t status = statusOf(AtomicFile::remove(root_, stored.name));
        if (status != KeychainStatus::success && status != KeychainStatus::itemNotFound) result = status;
    }
    return result;
}

} // namespace quillmere
