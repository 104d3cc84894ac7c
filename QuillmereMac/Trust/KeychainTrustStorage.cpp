#include "QuillmereMac/Trust/KeychainTrustStorage.h"

#include "Platform/Keychain/KeychainStatus.h"

#include <fmt/format.h>

namespace quillmere {

std::string KeychainTrustStorage::Failure::description() const { return fmt::format("status({})", code_); }

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
        return std::unexpected(Failure::status(item.error()));
    }
    // An item that holds nothing was not written by us: no blob is empty.
    if (item->data.empty()) return std::unexpected(Failure::status(KeychainStatus::success));
    return std::optional<Bytes>(std::move(item->data));
}

std::expected<void, KeychainTrustStorage::Failure> KeychainTrustStorage::save(ByteView blob, std::string_view service,
                                                                              std::string_view account) const {
    const std::int32_t updated = keychain_.update(query(service, account), blob);
    if (updated == KeychainStatus::success) return {};
    if (updated != KeychainStatus::itemNotFound) return std::unexpected(Failure::status(updated));

    KeychainItem item;
    item.itemClass = KeychainItemClass::genericPassword;
    item.service = std::string(service);
    item.account = std::string(account);
    item.label = std::string(label);
    item.data.assign(blob.begin(), blob.end());
    const std::int32_t added = keychain_.add(item);
    if (added != KeychainStatus::success) return std::unexpected(Failure::status(added));
    return {};
}

} // namespace quillmere
