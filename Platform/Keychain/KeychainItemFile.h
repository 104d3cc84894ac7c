#pragma once

#include "Platform/Keychain/KeychainItem.h"
#include "QuillmereBase/Bytes.h"

#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// How one item is kept on disk: the file's name follows from the item's
// unique attributes, so a second item with the same ones collides by name;
// the content ends with a SHA-256 of itself, so a damaged file is never
// taken for an item.
struct KeychainItemFile {
    static std::string nameOf(const KeychainItem& item);
    // The name prefix every file of the class starts with.
    static std::string prefixOf(KeychainItemClass itemClass);
    // Whether a file's name is one nameOf gives an item of the class: a
    // record renamed by hand ("….damaged") is not one.
    static bool isRecordName(std::string_view name, KeychainItemClass itemClass);
    // The format version of a record a newer program wrote; none for this
    // format or for what is no record at all.
    static std::optional<int> newerFormat(ByteView bytes);

    static Bytes encode(const KeychainItem& item);
    // Absent for anything that is not a whole, undamaged record.
    static std::optional<KeychainItem> decode(ByteView bytes);
};

} // namespace quillmere
