#include "QuillmereViewer/ViewerTrustStorage.h"

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
    return std::unexpected(item.error().description());
}

std::expected<void, std::string> ViewerTrustStorage::save(ByteView blob) {
    KeychainOutcome status = keychain_.update(query(), blob);
    if (status == KeychainStatus::itemNotFound) {
        KeychainItem item;
        item.itemClass = KeychainItemClass::genericPassword;
        item.service = std::string(service);
        item.account = std::string(account);
        item.label = std::string(label);
        item.data = Bytes(blob.begin(), blob.end());
        status = keychain_.add(item);
    }
    if (!status.succeeded()) return std::unexpected(status.description());
    return {};
}

std::expected<void, std::string> ViewerTrustStorage::change(const Edit& edit) {
    std::expected<void, std::string> result;
    const KeychainOutcome locked = keychain_.exclusively([&](const Keychain& held) {
        ViewerTrustStorage storage(held);
        result = storage.TrustStorage::change(edit);
    });
    if (!locked.succeeded()) return std::unexpected(locked.description());
    return result;
}

std::string ViewerTrustStorage::location() const {
    KeychainItem item;
    item.itemClass = KeychainItemClass::genericPassword;
    item.service = std::string(service);
    item.account = std::string(account);
    return keychain_.fileOf(item).string();
}

} // namespace quillmere
