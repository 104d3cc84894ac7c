#pragma once

#include "Platform/Keychain/Keychain.h"
#include "QuillmereWire/TrustStorage.h"

#include <string_view>

namespace quillmere {

// The viewer's paired hosts as one generic password in its keychain.
class ViewerTrustStorage final : public TrustStorage {
public:
    static constexpr std::string_view service = "com.ornbeck.quillmere.viewer.trust";
    static constexpr std::string_view account = "paired-hosts";
    static constexpr std::string_view label = "QuillmereViewer paired hosts";

    explicit ViewerTrustStorage(Keychain keychain) : keychain_(std::move(keychain)) {}

    std::expected<std::optional<Bytes>, std::string> load() override;
    std::expected<void, std::string> save(ByteView blob) override;
    // Under the keychain's lock: viewers sharing the folder lose no pairing.
    std::expected<void, std::string> change(const Edit& edit) override;
    std::string location() const override;

private:
    KeychainQuery query() const;

    Keychain keychain_;
};

} // namespace quillmere
