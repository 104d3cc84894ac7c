#include "QuillmereViewer/ViewerState.h"

#include "Platform/Crypto/Crypto.h"
#include "Platform/Files/UserFolders.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereTransport/Identity/IdentityStore.h"
#include "QuillmereViewer/ViewerTrustStorage.h"
#include "QuillmereWire/WireProtocol.h"

#include <fmt/format.h>

#include <unistd.h>

#include <climits>

namespace quillmere {

ViewerState::ViewerState(std::filesystem::path folder)
    : folder_(std::move(folder)), keychain_(folder_ / "keychain") {}

std::expected<std::filesystem::path, std::string> ViewerState::standardFolder() {
    auto data = UserFolders::of(UserFolders::data);
    if (!data) return data;
    return *data / "quillmere-viewer";
}

std::string ViewerState::defaultDeviceName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Quillmere Viewer";
    return truncatedUTF8(fmt::format("Quillmere Viewer on {}", name), WireProtocol::maxNameBytes);
}

std::expected<LocalIdentity, std::string> ViewerState::identity() const {
    auto identity = IdentityStore(keychain_).loadOrCreate(std::string(identityLabel), commonName);
    if (!identity)
        return std::unexpected(fmt::format("the viewer's identity in {} could not be loaded or made: {}",
                                           keychain_.root().string(), identity.error().message()));
    return std::move(*identity);
}

std::expected<WireID, std::string> ViewerState::deviceID() const {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::genericPassword;
    query.service = std::string(deviceService);
    query.account = std::string(deviceAccount);
    auto stored = keychain_.copyFirst(query);
    if (stored) {
        auto identifier = WireID::fromBytes(stored->data);
        if (identifier) return *identifier;
        return std::unexpected(fmt::format("the device identifier in {} is damaged", keychain_.root().string()));
    }
    if (stored.error() != KeychainStatus::itemNotFound)
        return std::unexpected(fmt::format("the device identifier could not be read: {}", stored.error().description()));
    auto random = Crypto::randomBytes(WireID::byteCount);
    if (!random) return std::unexpected(fmt::format("no random bytes for a device identifier (status {})", random.error()));
    KeychainItem item;
    item.itemClass = KeychainItemClass::genericPassword;
    item.service = std::string(deviceService);
    item.account = std::string(deviceAccount);
    item.label = "QuillmereViewer device identifier";
    item.data = *random;
    const auto status = keychain_.add(item);
    // Another viewer of the same folder made one first: that one stands.
    if (status == KeychainStatus::duplicateItem) return deviceID();
    if (!status.succeeded())
        return std::unexpected(fmt::format("the device identifier could not be kept: {}", status.description()));
    return *WireID::fromBytes(*random);
}

std::expected<TrustStore, std::string> ViewerState::trustStore() const {
    auto store = TrustStore::open(std::make_unique<ViewerTrustStorage>(keychain_));
    if (!store)
        return std::unexpected(fmt::format("the paired hosts could not be read: {}", store.error().message()));
    return std::move(*store);
}

} // namespace quillmere

namespace quillmere {

std::optional<std::string> ViewerState::deviceName() const {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::genericPassword;
    query.service = std::string(deviceService);
    query.account = std::string(nameAccount);
    auto stored = keychain_.copyFirst(query);
    if (!stored) return std::nullopt;
    std::string name(stored->data.begin(), stored->data.end());
    if (name.empty() || name.size() > WireProtocol::maxNameBytes || !isValidUTF8(name)) return std::nullopt;
    return name;
}

std::expected<void, std::string> ViewerState::setDeviceName(const std::string& name) const {
    KeychainQuery query;
    query.itemClass = KeychainItemClass::genericPassword;
    query.service = std::string(deviceService);
    query.account = std::string(nameAccount);
    const Bytes data(name.begin(), name.end());
    KeychainOutcome status = keychain_.update(query, data);
    if (status == KeychainStatus::itemNotFound) {
        KeychainItem item;
        item.itemClass = KeychainItemClass::genericPassword;
        item.service = std::string(deviceService);
        item.account = std::string(nameAccount);
        item.label = "QuillmereViewer device name";
        item.data = data;
        status = keychain_.add(item);
    }
    if (!status.succeeded())
        return std::unexpected(fmt::format("the device name could not be kept: {}", status.description()));
    return {};
}

} // namespace quillmere
