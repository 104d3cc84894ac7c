#include "QuillmereWire/MediaDatagram.h"

#include "QuillmereBase/ByteWriter.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

namespace quillmere {

namespace {

template <class T>
T loadBigEndian(const std::uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    if constexpr (std::endian::native == std::endian::little) value = std::byteswap(value);
    return value;
}

WireStatus checkPayload(std::size_t length, std::uint32_t totalLength) {
    if (length == 0 || length > totalLength) return std::unexpected(WireError::outOfRange("media.payload"));
    return {};
}

// Runs once for every datagram received, so the header is read in place
// rather than field by field through a ByteReader; each step checks the
// length first, exactly as the reader's reads would, and fails the same way.
// The datagram is filled where the result lives: building it elsewhere and
// copying it over costs as much as the rest of the decoding.
std::optional<WireError> decodeInto(ByteView bytes, MediaDatagram& datagram) {
    // The version comes before anything else, so even a one-byte datagram of
    // a later version reports that version.
    if (bytes.empty()) return WireError::truncated();
    if (bytes[0] != MediaHeader::currentVersion) return WireError::versionMismatch(bytes[0]);
    if (bytes.size() < 2) return WireError::truncated();
    const auto kind = MediaHeader::kindFromRaw(bytes[1]);
    if (!kind) return WireError::unknownValue("media.kind", bytes[1]);
    if (bytes.size() < 4) return WireError::truncated();
    const std::uint8_t flags = bytes[2];
    if (bytes[3] != 0 || flags > MediaHeader::Flags::definedBits) return WireError::reservedBitsSet();
    if (bytes.size() < MediaHeader::headerSize) return WireError::truncated();

    const std::uint8_t* field = bytes.data() + 4;
    MediaHeader& header = datagram.header;
    header.kind = *kind;
    header.flags = MediaHeader::Flags{flags};
    header.surfaceID = loadBigEndian<std::uint32_t>(field);
    header.epoch = loadBigEndian<std::uint32_t>(field + 4);
    header.frameID = loadBigEndian<std::uint32_t>(field + 8);
    header.configGeneration = loadBigEndian<std::uint32_t>(field + 12);
    header.fragmentIndex = loadBigEndian<std::uint16_t>(field + 16);
    header.fragmentCount = loadBigEndian<std::uint16_t>(field + 18);
    header.totalLength = loadBigEndian<std::uint32_t>(field + 20);
    header.captureTimeNs = loadBigEndian<std::uint64_t>(field + 24);
    header.sendOffsetUs = loadBigEndian<std::uint32_t>(field + 32);
    if (auto valid = header.validate(); !valid) return valid.error();

    datagram.payload = bytes.subspan(MediaHeader::headerSize);
    if (auto valid = checkPayload(datagram.payload.size(), header.totalLength); !valid) return valid.error();
    return std::nullopt;
}

} // namespace

WireResult<MediaDatagram> MediaDatagram::decode(ByteView bytes) {
    WireResult<MediaDatagram> result{std::in_place};
    if (auto failure = decodeInto(bytes, *result)) result = std::unexpected(std::move(*failure));
    return result;
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
