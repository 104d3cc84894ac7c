#include "QuillmereWire/MediaDatagram.h"

#include "QuillmereWire/ByteReader.h"
#include "QuillmereWire/ByteWriter.h"

#include <algorithm>

namespace quillmere {

namespace {

WireStatus checkPayload(std::size_t length, std::uint32_t totalLength) {
    if (length == 0 || length > totalLength) return std::unexpected(WireError::outOfRange("media.payload"));
    return {};
}

} // namespace

WireResult<MediaDatagram> MediaDatagram::decode(ByteView bytes) {
    ByteReader reader(bytes);
    // The version comes before anything else, so even a one-byte datagram of
    // a later version reports that version.
    auto version = reader.readU8();
    if (!version) return std::unexpected(version.error());
    if (*version != MediaHeader::currentVersion) return std::unexpected(WireError::versionMismatch(*version));

    auto kindByte = reader.readU8();
    if (!kindByte) return std::unexpected(kindByte.error());
    auto kind = MediaHeader::kindFromRaw(*kindByte);
    if (!kind) return std::unexpected(WireError::unknownValue("media.kind", *kindByte));

    auto flags = reader.readU8();
    if (!flags) return std::unexpected(flags.error());
    auto reserved = reader.readU8();
    if (!reserved) return std::unexpected(reserved.error());
    if (*reserved != 0 || *flags > MediaHeader::Flags::definedBits)
        return std::unexpected(WireError::reservedBitsSet());

    if (reader.remaining() < static_cast<std::ptrdiff_t>(MediaHeader::headerSize - 4))
        return std::unexpected(WireError::truncated());
    MediaDatagram datagram;
    MediaHeader& header = datagram.header;
    header.kind = *kind;
    header.flags = MediaHeader::Flags{*flags};
    // Length was checked above: these reads cannot fail.
    header.surfaceID = *reader.readU32();
    header.epoch = *reader.readU32();
    header.frameID = *reader.readU32();
    header.configGeneration = *reader.readU32();
    header.fragmentIndex = *reader.readU16();
    header.fragmentCount = *reader.readU16();
    header.totalLength = *reader.readU32();
    header.captureTimeNs = *reader.readU64();
    header.sendOffsetUs = *reader.readU32();
    if (auto valid = header.validate(); !valid) return std::unexpected(valid.error());

    datagram.payload = bytes.subspan(MediaHeader::headerSize);
    if (auto valid = checkPayload(datagram.payload.size(), header.totalLength); !valid)
        return std::unexpected(valid.error());
    return datagram;
}

WireResult<Bytes> MediaDatagram::encode() const {
    if (auto valid = checkPayload(payload.size(), header.totalLength); !valid) return std::unexpected(valid.error());
    ByteWriter writer(static_cast<std::ptrdiff_t>(MediaHeader::headerSize + payload.size()));
    if (auto written = header.encode(writer); !written) return std::unexpected(written.error());
    writer.writeBytes(payload);
    return std::move(writer).take();
}

bool MediaDatagram::operator==(const MediaDatagram& other) const {
    return header == other.header && std::ranges::equal(payload, other.payload);
}

} // namespace quillmere
