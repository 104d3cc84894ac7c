#include "QuillmereWire/EnrollmentProof.h"

#include <array>

namespace quillmere::EnrollmentProof {

namespace {

template <std::size_t N>
constexpr std::array<std::uint8_t, N - 1> labelBytes(const char (&text)[N]) {
    std::array<std::uint8_t, N - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i) out[i] = static_cast<std::uint8_t>(text[i]);
    return out;
}

constexpr auto clientLabelBytes = labelBytes("quillmere enroll v1 client");
constexpr auto hostLabelBytes = labelBytes("quillmere enroll v1 host");
static_assert(clientLabelBytes.size() == 26 && hostLabelBytes.size() == 24);

Digest32 compute(const PairingCrypto& crypto, ByteView label, const Digest32& key, const WireID& invitationID,
                 const Digest32& clientFingerprint, const Digest32& hostFingerprint) {
    Bytes message;
    message.reserve(label.size() + WireID::byteCount + 2 * Digest32::byteCount);
    message.insert(message.end(), label.begin(), label.end());
    message.insert(message.end(), invitationID.bytes().begin(), invitationID.bytes().end());
    message.insert(message.end(), clientFingerprint.bytes().begin(), clientFingerprint.bytes().end());
    message.insert(message.end(), hostFingerprint.bytes().begin(), hostFingerprint.bytes().end());
    return crypto.authenticationCode(key.view(), viewOf(message));
}

} // namespace

ByteView clientLabel() { return ByteView(clientLabelBytes.data(), clientLabelBytes.size()); }
ByteView hostLabel() { return ByteView(hostLabelBytes.data(), hostLabelBytes.size()); }

Digest32 client(const PairingCrypto& crypto, const Digest32& key, const WireID& invitationID,
                const Digest32& clientFingerprint, const Digest32& hostFingerprint) {
    return compute(crypto, clientLabel(), key, invitationID, clientFingerprint, hostFingerprint);
}

Digest32 host(const PairingCrypto& crypto, const Digest32& key, const WireID& invitationID,
              const Digest32& clientFingerprint, const Digest32& hostFingerprint) {
    return compute(crypto, hostLabel(), key, invitationID, clientFingerprint, hostFingerprint);
}

bool matches(const Digest32& received, const Digest32& expected) { return received.constantTimeEquals(expected); }

} // namespace quillmere::EnrollmentProof
