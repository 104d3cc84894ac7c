#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/SelfSignedCertificate.h"

#include <algorithm>
#include <array>
#include <initializer_list>

namespace quillmere::SelfSignedCertificate {

namespace {

constexpr std::array<std::uint8_t, 5> versionV3{0xa0, 0x03, 0x02, 0x01, 0x02};
constexpr std::array<std::uint8_t, 12> ecdsaWithSHA256{0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86,
                                                        0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
constexpr std::array<std::uint8_t, 5> commonNameOID{0x06, 0x03, 0x55, 0x04, 0x03};
constexpr std::array<std::uint8_t, 9> ecPublicKeyOID{0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
constexpr std::array<std::uint8_t, 10> prime256v1OID{0x06, 0x08, 0x2a, 0x86, 0x48,
                                                      0xce, 0x3d, 0x03, 0x01, 0x07};

constexpr std::uint8_t tagInteger = 0x02;
constexpr std::uint8_t tagBitString = 0x03;
constexpr std::uint8_t tagUTF8String = 0x0c;
constexpr std::uint8_t tagGeneralizedTime = 0x18;
constexpr std::uint8_t tagSequence = 0x30;
constexpr std::uint8_t tagSet = 0x31;

constexpr std::size_t maxCommonNameBytes = 64;
constexpr std::size_t maxSerialBytes = 20;

void append(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

void appendLength(Bytes& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    std::array<std::uint8_t, sizeof(std::size_t)> digits{};
    std::size_t count = 0;
    for (std::size_t rest = length; rest != 0; rest >>= 8) digits[count++] = static_cast<std::uint8_t>(rest & 0xff);
    out.push_back(static_cast<std::uint8_t>(0x80 + count));
    while (count > 0) out.push_back(digits[--count]);
}

Bytes element(std::uint8_t tag, ByteView content) {
    Bytes out;
    out.reserve(content.size() + 6);
    out.push_back(tag);
    appendLength(out, content.size());
    append(out, content);
    return out;
}

Bytes sequence(std::initializer_list<ByteView> parts) {
    Bytes content;
    for (ByteView part : parts) append(content, part);
    return element(tagSequence, viewOf(content));
}

ByteView textBytes(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// BIT STRING with no unused bits.
Bytes bitString(ByteView bits) {
    Bytes content;
    content.reserve(bits.size() + 1);
    content.push_back(0x00);
    append(content, bits);
    return element(tagBitString, viewOf(content));
}

Bytes name(std::string_view commonName) {
    const Bytes value = element(tagUTF8String, textBytes(commonName));
    const Bytes attribute = sequence({ByteView(commonNameOID), viewOf(value)});
    const Bytes set = element(tagSet, viewOf(attribute));
    return sequence({viewOf(set)});
}

// A zero byte is redundant when the next byte alone keeps the value positive.
ByteView minimalInteger(ByteView serial) {
    std::size_t start = 0;
    while (start + 1 < serial.size() && serial[start] == 0x00 && serial[start + 1] < 0x80) ++start;
    return serial.subspan(start);
}

bool validSerial(ByteView serial) {
    if (serial.empty() || serial.size() > maxSerialBytes || serial[0] >= 0x80) return false;
    return std::any_of(serial.begin(), serial.end(), [](std::uint8_t b) { return b != 0; });
}

} // namespace

std::string description(Failure failure) {
    switch (failure) {
    case Failure::invalidPublicKey: return "invalidPublicKey";
    case Failure::invalidName: return "invalidName";
    case Failure::invalidSerial: return "invalidSerial";
    }
    return "invalidPublicKey";
}

std::expected<Bytes, Failure> subjectPublicKeyInfo(ByteView publicKey) {
    if (publicKey.size() != publicKeyLength || publicKey[0] != 0x04)
        return std::unexpected(Failure::invalidPublicKey);
    const Bytes algorithm = sequence({ByteView(ecPublicKeyOID), ByteView(prime256v1OID)});
    const Bytes key = bitString(publicKey);
    return sequence({viewOf(algorithm), viewOf(key)});
}

std::expected<Bytes, Failure> tbsCertificate(ByteView publicKey, std::string_view commonName, ByteView serial,
                                             std::string_view notBefore, std::string_view notAfter) {
    // Order matters: a bad name wins over a bad serial, both over a bad key.
    if (commonName.empty() || commonName.size() > maxCommonNameBytes || !isValidUTF8(commonName))
        return std::unexpected(Failure::invalidName);
    if (!validSerial(serial)) return std::unexpected(Failure::invalidSerial);

    const Bytes serialNumber = element(tagInteger, minimalInteger(serial));
    const Bytes subject = name(commonName);
    const Bytes validity = sequence({viewOf(element(tagGeneralizedTime, textBytes(notBefore))),
                                     viewOf(element(tagGeneralizedTime, textBytes(notAfter)))});
    auto keyInfo = subjectPublicKeyInfo(publicKey);
    if (!keyInfo) return std::unexpected(keyInfo.error());

    return sequence({ByteView(versionV3), viewOf(serialNumber), ByteView(ecdsaWithSHA256), viewOf(subject),
                     viewOf(validity), viewOf(subject), viewOf(*keyInfo)});
}

Bytes certificate(ByteView tbs, ByteView signature) {
    return sequence({tbs, ByteView(ecdsaWithSHA256), viewOf(bitString(signature))});
}

} // namespace quillmere::SelfSignedCertificate
