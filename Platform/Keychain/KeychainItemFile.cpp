#include "Platform/Keychain/KeychainItemFile.h"

#include "Platform/Crypto/Crypto.h"
#include "QuillmereBase/ByteReader.h"
#include "QuillmereBase/ByteWriter.h"

#include <array>
#include <string_view>

namespace quillmere {

namespace {

constexpr std::array<std::uint8_t, 4> magic{'Q', 'K', 'C', '1'};
constexpr std::size_t checksumLength = 32;

ByteView textView(const std::string& text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void writeField(ByteWriter& writer, ByteView field) {
    writer.writeU32(static_cast<std::uint32_t>(field.size()));
    writer.writeBytes(field);
}

std::optional<Bytes> readField(ByteReader& reader) {
    auto length = reader.readU32();
    if (!length) return std::nullopt;
    auto field = reader.readBytes(static_cast<std::ptrdiff_t>(*length));
    if (!field) return std::nullopt;
    return std::move(*field);
}

std::optional<std::string> readText(ByteReader& reader) {
    auto field = readField(reader);
    if (!field) return std::nullopt;
    return std::string(field->begin(), field->end());
}

std::string fullHex(ByteView bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0f]);
    }
    return out;
}

} // namespace

std::string KeychainItemFile::prefixOf(KeychainItemClass itemClass) {
    switch (itemClass) {
    case KeychainItemClass::genericPassword: return "password-";
    case KeychainItemClass::key: return "key-";
    case KeychainItemClass::certificate: return "certificate-";
    }
    return "unknown-";
}

std::string KeychainItemFile::nameOf(const KeychainItem& item) {
    ByteWriter identity;
    identity.writeU8(static_cast<std::uint8_t>(item.itemClass));
    switch (item.itemClass) {
    case KeychainItemClass::genericPassword:
        writeField(identity, textView(item.service));
        writeField(identity, textView(item.account));
        break;
    case KeychainItemClass::key:
        writeField(identity, viewOf(item.applicationTag));
        writeField(identity, viewOf(item.applicationLabel));
        break;
    case KeychainItemClass::certificate:
        writeField(identity, viewOf(item.data));
        break;
    }
    return prefixOf(item.itemClass) + fullHex(Crypto::sha256(viewOf(identity.bytes())).view());
}

bool KeychainItemFile::isRecordName(std::string_view name, KeychainItemClass itemClass) {
    const std::string prefix = prefixOf(itemClass);
    if (!name.starts_with(prefix) || name.size() != prefix.size() + 2 * Digest32::byteCount) return false;
    return name.substr(prefix.size()).find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::optional<int> KeychainItemFile::newerFormat(ByteView bytes) {
    if (bytes.size() < magic.size() || !std::equal(magic.begin(), magic.end() - 1, bytes.begin())) return std::nullopt;
    const std::uint8_t version = bytes[magic.size() - 1];
    if (version <= magic.back() || version > '9') return std::nullopt;
    return version - '0';
}

Bytes KeychainItemFile::encode(const KeychainItem& item) {
    ByteWriter writer;
    writer.writeBytes(ByteView(magic));
    writer.writeU8(static_cast<std::uint8_t>(item.itemClass));
    writeField(writer, textView(item.service));
    writeField(writer, textView(item.account));
    writeField(writer, textView(item.label));
    writeField(writer, viewOf(item.applicationTag));
    writeField(writer, viewOf(item.applicationLabel));
    writeField(writer, viewOf(item.data));
    const Digest32 checksum = Crypto::sha256(viewOf(writer.bytes()));
    writer.writeBytes(checksum.view());
    return std::move(writer).take();
}

std::optional<KeychainItem> KeychainItemFile::decode(ByteView bytes) {
    if (bytes.size() < magic.size() + checksumLength) return std::nullopt;
    const ByteView body = bytes.first(bytes.size() - checksumLength);
    const ByteView checksum = bytes.last(checksumLength);
    if (!constantTimeEquals(Crypto::sha256(body).view(), checksum)) return std::nullopt;

    ByteReader reader(body);
    auto head = reader.take(static_cast<std::ptrdiff_t>(magic.size()));
    if (!head || !std::equal(head->begin(), head->end(), magic.begin())) return std::nullopt;
    auto itemClass = reader.readU8();
    if (!itemClass || *itemClass < 1 || *itemClass > 3) return std::nullopt;

    KeychainItem item;
    item.itemClass = static_cast<KeychainItemClass>(*itemClass);
    auto service = readText(reader);
    auto account = readText(reader);
    auto label = readText(reader);
    auto tag = readField(reader);
    auto applicationLabel = readField(reader);
    auto data = readField(reader);
    if (!service || !account || !label || !tag || !applicationLabel || !data || !reader.expectEnd())
        return std::nullopt;
    item.service = std::move(*service);
    item.account = std::move(*account);
    item.label = std::move(*label);
    item.applicationTag = std::move(*tag);
    item.applicationLabel = std::move(*applicationLabel);
    item.data = std::move(*data);
    return item;
}

} // namespace quillmere
