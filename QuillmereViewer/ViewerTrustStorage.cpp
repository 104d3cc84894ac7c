#include "QuillmereViewer/ViewerTrustStorage.h"

#include <fmt/format.h>

namespace quillmere {

KeychainQuery ViewerTrustStorage::query() const {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::genericPassword;
    query.service = std::string(service);
    query.account = std::string(account);
    return query;
}

std::expected<std::optional<Bytes>, std::string> ViewerTrustStorage::load() {
    auto item = keychain_.copyFirst(query());
    if (item) return std::optional<Bytes>(std::move(item->data));
    if (item.error() == KeychainStatus::itemNotFound) return std::optional<Bytes>();
    return std::unexpected(fmt::format("keychain status {}", item.error()));
}

std::expected<void, std::string> ViewerTrustStorage::save(ByteView blob) {
    std::int32_t status = keychain_.update(query(), blob);
    if (status == KeychainStatus::itemNotFound) {
        KeychainItem item;
        item.itemClass = KeychainItemClass::genericPassword;
        item.service = std::string(service);
        item.account = std::string(account);
        item.label = std::string(label);
        item.data = Bytes(blob.begin(), blob.end());
        status = keychain_.add(item);
    }
    if (status != KeychainStatus::success) return std::unexpected(fmt::format("keychain status {}", status));
    return {};
}

} // namespace quillmere
