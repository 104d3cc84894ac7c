#include "QuillmereWire/Invitation.h"

#include "QuillmereBase/ByteReader.h"
#include "QuillmereBase/ByteWriter.h"
#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/Base64URL.h"
#include "QuillmereWire/WireText.h"

namespace quillmere {

namespace {

constexpr std::string_view addressField = "invitation.address";
constexpr std::string_view hostNameField = "invitation.hostName";

template <std::size_t N, class Tag>
WireResult<FixedBytes<N, Tag>> readFixed(ByteReader& reader) {
    auto raw = reader.take(static_cast<std::ptrdiff_t>(N));
    if (!raw) return std::unexpected(raw.error());
    return FixedBytes<N, Tag>::fromBytes(*raw);
}

// Everything after the version byte.
WireResult<Invitation> readFields(ByteReader& reader) {
    Invitation out;
    auto id = readFixed<WireID::byteCount, WireIDTag>(reader);
    if (!id) return std::unexpected(id.error());
    out.invitationID = *id;
    auto fingerprint = readFixed<Digest32::byteCount, Digest32Tag>(reader);
    if (!fingerprint) return std::unexpected(fingerprint.error());
    out.hostFingerprint = *fingerprint;
    auto secret = readFixed<Digest32::byteCount, Digest32Tag>(reader);
    if (!secret) return std::unexpected(secret.error());
    out.secret = *secret;
    auto expiresAt = reader.readU32();
    if (!expiresAt) return std::unexpected(expiresAt.error());
    out.expiresAt = *expiresAt;
    auto port = reader.readU16();
    if (!port) return std::unexpected(port.error());
    out.port = *port;
    auto address = reader.readShortString(Invitation::maxAddressBytes, addressField);
    if (!address) return std::unexpected(address.error());
    out.address = std::move(*address);
    auto hostName = reader.readShortString(Invitation::maxHostNameBytes, hostNameField);
    if (!hostName) return std::unexpected(hostName.error());
    out.hostName = std::move(*hostName);
    auto end = reader.expectEnd();
    if (!end) return std::unexpected(end.error());
    return out;
}

EnrollmentError malformed(const WireError& error) {
    return EnrollmentError::malformedInvitation(error.description());
}

} // namespace

WireResult<std::string> Invitation::encoded() const {
    if (auto ok = requireUTF8Length(hostName, maxHostNameBytes, hostNameField); !ok) {
        return std::unexpected(ok.error());
    }
    if (auto ok = requireUTF8Length(address, maxAddressBytes, addressField); !ok) {
        return std::unexpected(ok.error());
    }
    if (auto ok = require(!address.empty(), addressField); !ok) return std::unexpected(ok.error());
    if (!isValidUTF8(hostName) || !isValidUTF8(address)) return std::unexpected(WireError::invalidString());

    ByteWriter writer(static_cast<std::ptrdiff_t>(maxRecordBytes));
    writer.writeU8(recordVersion);
    writer.writeBytes(invitationID.view());
    writer.writeBytes(hostFingerprint.view());
    writer.writeBytes(secret.view());
    writer.writeU32(expiresAt);
    writer.writeU16(port);
    writer.writeShortString(address);
    writer.writeShortString(hostName);

    std::string text(textPrefix);
    text += Base64URL::encode(viewOf(writer.bytes()));
    return text;
}

EnrollmentResult<Invitation> Invitation::fromText(std::string_view text) {
    if (!text.starts_with(textPrefix) || text.size() > maxTextBytes) {
        return std::unexpected(EnrollmentError::malformedInvitation("scheme"));
    }
    auto record = Base64URL::decode(text.substr(textPrefix.size()));
    if (!record) return std::unexpected(EnrollmentError::malformedInvitation("base64"));

    ByteReader reader(viewOf(*record));
    auto version = reader.readU8();
    if (!version) return std::unexpected(malformed(version.error()));
    if (*version != recordVersion) return std::unexpected(EnrollmentError::malformedInvitation("version"));
    auto invitation = readFields(reader);
    if (!invitation) return std::unexpected(malformed(invitation.error()));
    if (invitation->port == 0) return std::unexpected(EnrollmentError::malformedInvitation("port"));
    if (invitation->address.empty()) return std::unexpected(EnrollmentError::malformedInvitation("address"));
    return std::move(*invitation);
}

} // namespace quillmere
