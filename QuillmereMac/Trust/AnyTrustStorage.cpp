#include "QuillmereMac/Trust/AnyTrustStorage.h"

namespace quillmere {

std::unique_ptr<AnyTrustStorage> AnyTrustStorage::keychain(KeychainTrustStorage storage, std::string service,
                                                           std::string account) {
    auto shared = std::make_shared<const KeychainTrustStorage>(std::move(storage));
    auto load = [shared, service, account]() -> std::expected<std::optional<Bytes>, std::string> {
        auto blob = shared->load(service, account);
        if (!blob) return std::unexpected(blob.error().description());
        return std::move(*blob);
    };
    auto save = [shared, service, account](ByteView blob) -> std::expected<void, std::string> {
        auto saved = shared->save(blob, service, account);
        if (!saved) return std::unexpected(saved.error().description());
        return {};
    };
    auto change = [shared, service, account](const Edit& edit) -> std::expected<void, std::string> {
        auto changed = shared->change(edit, service, account);
        if (!changed) return std::unexpected(changed.error().description());
        return {};
    };
    std::string location = shared->fileOf(service, account).string();
    return std::make_unique<AnyTrustStorage>(std::move(load), std::move(save), std::move(change), std::move(location));
}

} // namespace quillmere
