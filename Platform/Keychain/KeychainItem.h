#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

enum class KeychainItemClass : std::uint8_t {
    genericPassword = 1,
    key = 2,
    certificate = 3,
};

// One stored item. Which attributes make it unique depends on its class:
// a generic password by service and account, a key by application tag and
// application label, a certificate by its bytes.
struct KeychainItem {
    KeychainItemClass itemClass = KeychainItemClass::genericPassword;
    std::string service;
    std::string account;
    std::string label;
    Bytes applicationTag;
    // What identifies a key pair, such as a hash of its public key.
    Bytes applicationLabel;
    // The password, the key or the certificate.
    Bytes data;

    bool operator==(const KeychainItem&) const = default;
};

// Items of one class whose given attributes all match; unset ones match anything.
struct KeychainQuery {
    KeychainItemClass itemClass = KeychainItemClass::genericPassword;
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> label;
    std::optional<Bytes> applicationTag;
    std::optional<Bytes> applicationLabel;

    bool matches(const KeychainItem& item) const {
        return item.itemClass == itemClass && (!service || *service == item.service) &&
               (!account || *account == item.account) && (!label || *label == item.label) &&
               (!applicationTag || *applicationTag == item.applicationTag) &&
               (!applicationLabel || *applicationLabel == item.applicationLabel);
    }
};

} // namespace quillmere
