#pragma once

#include "QuillmereMac/Trust/KeychainTrustStorage.h"
#include "QuillmereWire/TrustStorage.h"

#include <functional>
#include <memory>
#include <string>

namespace quillmere {

// A trust storage made of a load and a save function; errors pass through
// unchanged.
class AnyTrustStorage final : public TrustStorage {
public:
    using LoadBody = std::function<std::expected<std::optional<Bytes>, std::string>()>;
    using SaveBody = std::function<std::expected<void, std::string>(ByteView)>;

    using ChangeBody = std::function<std::expected<void, std::string>(const Edit&)>;

    AnyTrustStorage(LoadBody loadBody, SaveBody saveBody)
        : loadBody_(std::move(loadBody)), saveBody_(std::move(saveBody)) {}
    // With a change of its own, for a storage that other processes share.
    AnyTrustStorage(LoadBody loadBody, SaveBody saveBody, ChangeBody changeBody, std::string location)
        : loadBody_(std::move(loadBody)), saveBody_(std::move(saveBody)), changeBody_(std::move(changeBody)),
          location_(std::move(location)) {}

    // Over one keychain item; its failures reach the store as their text.
    static std::unique_ptr<AnyTrustStorage> keychain(KeychainTrustStorage storage, std::string service,
                                                     std::string account);

    std::expected<std::optional<Bytes>, std::string> load() override { return loadBody_(); }
    std::expected<void, std::string> save(ByteView blob) override { return saveBody_(blob); }
    std::expected<void, std::string> change(const Edit& edit) override {
        return changeBody_ ? changeBody_(edit) : TrustStorage::change(edit);
    }
    std::string location() const override { return location_.empty() ? TrustStorage::location() : location_; }

private:
    LoadBody loadBody_;
    SaveBody saveBody_;
    ChangeBody changeBody_;
    std::string location_;
};

} // namespace quillmere
