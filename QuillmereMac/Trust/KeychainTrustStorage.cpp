#include "QuillmereMac/Trust/KeychainTrustStorage.h"

#include "Platform/Keychain/KeychainStatus.h"

namespace quillmere {

std::string KeychainTrustStorage::Failure::description() const {
    if (!detail_.empty()) return detail_;
    return KeychainOutcome(code_).description();
}

std::string KeychainTrustStorage::service(std::optional<std::string_view> scope) {
    std::string name(baseService);
    if (scope && !scope->empty()) name.append(".").append(*scope);
    return name;
}

KeychainQuery KeychainTrustStorage::query(std::string_view service, std::string_view account) {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::genericPassword;
    query.service = std::string(service);
    query.account = std::string(account);
    return query;
}

std::expected<std::optional<Bytes>, KeychainTrustStorage::Failure> KeychainTrustStorage::load(
    std::string_view service, std::string_view account) const {
    auto item = keychain_.copyFirst(query(service, account));
    if (!item) {
        if (item.error() == KeychainStatus::itemNotFound) return std::optional<Bytes>();
        return std::unexpected(Failure::of(item.error()));
    }
    // An item that holds nothing was not written by us: no blob is empty.
    if (item->data.empty())
        return std::unexpected(Failure::status(KeychainStatus::success,
                                               fileOf(service, account).string() + " holds no list of paired devices"));
    return std::optional<Bytes>(std::move(item->data));
}

std::expected<void, KeychainTrustStorage::Failure> KeychainTrustStorage::save(ByteView blob, std::string_view service,
                                                                              std::string_view account) const {
    const KeychainOutcome updated = keychain_.update(query(service, account), blob);
    if (updated.succeeded()) return {};
    if (updated != KeychainStatus::itemNotFound) return std::unexpected(Failure::of(updated));

    KeychainItem item;
    item.itemClass = KeychainItemClass::genericPassword;
    item.service = std::string(service);
    item.account = std::string(account);
    item.label = std::string(label);
    item.data.assign(blob.begin(), blob.end());
    const KeychainOutcome added = keychain_.add(item);
    if (!added.succeeded()) return std::unexpected(Failure::of(added));
    return {};
}

std::expected<void, KeychainTrustStorage::Failure> KeychainTrustStorage::change(
    const std::function<std::optional<Bytes>(const std::optional<Bytes>&)>& edit, std::string_view service,
    std::string_view account) const {
    std::expected<void, Failure> result;
    const KeychainOutcome locked = keychain_.exclusively([&](const Keychain& held) {
        const KeychainTrustStorage storage(held);
        auto stored = storage.load(service, account);
        if (!stored) {
            result = std::unexpected(stored.error());
            return;
        }
        auto next = edit(*stored);
        if (next) result = storage.save(viewOf(*next), service, account);
    });
    if (!locked.succeeded()) return std::unexpected(Failure::of(locked));
    return result;
}

std::filesystem::path KeychainTrustStorage::fileOf(std::string_view service, std::string_view account) const {
    KeychainItem item;
    item.itemClass = KeychainItemClass::genericPassword;
    item.service = std::string(service);
    item.account = std::string(account);
    return keychain_.fileOf(item);
}

} // namespace quillmere
