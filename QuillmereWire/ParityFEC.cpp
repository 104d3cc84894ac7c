#include "QuillmereWire/ParityFEC.h"

#include "QuillmereWire/MediaDatagram.h"

#include <algorithm>
#include <cstring>

namespace quillmere::ParityFEC {

namespace {

constexpr std::size_t maxPayload = 65'535;

bool sameFrame(const MediaHeader& a, const MediaHeader& b) {
    return a.surfaceID == b.surfaceID && a.epoch == b.epoch && a.frameID == b.frameID;
}

} // namespace

void xorInto(std::uint8_t* out, const std::uint8_t* in, std::size_t count) {
    std::size_t index = 0;
    for (; index + sizeof(std::uint64_t) <= count; index += sizeof(std::uint64_t)) {
        std::uint64_t a, b;
        std::memcpy(&a, out + index, sizeof a);
        std::memcpy(&b, in + index, sizeof b);
        a ^= b;
        std::memcpy(out + index, &a, sizeof a);
    }
    for (; index < count; ++index) out[index] ^= in[index];
}

WireResult<std::vector<SharedBytes>> parity(std::span<const SharedBytes> datagrams, std::int64_t groupSize,
                                            std::optional<std::size_t> maxDatagramSize) {
    std::vector<SharedBytes> parities;
    if (groupSize < 2 || datagrams.empty()) return parities;

    std::vector<MediaDatagram> decoded;
    decoded.reserve(datagrams.size());
    std::size_t longest = 0;
    for (const SharedBytes& bytes : datagrams) {
        auto datagram = MediaDatagram::decode(bytes.view());
        if (!datagram) return std::unexpected(datagram.error());
        decoded.push_back(*datagram);
        longest = std::max(longest, bytes.size());
    }
    const std::size_t limit = maxDatagramSize.value_or(longest);

    const std::size_t count = decoded.size();
    const auto size = static_cast<std::size_t>(groupSize);
    // The group size travels in one byte: a larger group is refused, not cut short.
    if (std::min(size, count) > static_cast<std::size_t>(maxGroupSize))
        return std::unexpected(WireError::outOfRange("parity.groupSize"));
    const std::size_t groups = (count + size - 1) / size;

    for (std::size_t position = 0; position < groups; ++position) {
        const std::size_t begin = position * size;
        const std::size_t end = std::min(count, begin + size);
        const MediaHeader& first = decoded[begin].header;
        // Anything but consecutive fragments of one frame would let a
        // receiver rebuild a fragment from the wrong bytes.
        for (std::size_t index = begin + 1; index < end; ++index) {
            const MediaHeader& header = decoded[index].header;
            if (!sameFrame(first, header) || header.fragmentIndex != first.fragmentIndex + (index - begin))
                return std::unexpected(WireError::outOfRange("parity.group"));
        }
        if (end - begin < 2) continue;

        std::size_t longestPayload = 0;
        for (std::size_t index = begin; index < end; ++index)
            longestPayload = std::max(longestPayload, decoded[index].payload.size());
        // Payload lengths travel XORed in 16 bits.
        if (longestPayload > maxPayload) return std::unexpected(WireError::outOfRange("parity.payload"));
        if (MediaHeader::headerSize + parityPrefixSize + longestPayload > limit) continue;

        Bytes payload(parityPrefixSize + longestPayload, 0);
        std::uint16_t lengthXor = 0;
        for (std::size_t index = begin; index < end; ++index) {
            const ByteView fragment = decoded[index].payload;
            xorInto(payload.data() + parityPrefixSize, fragment.data(), fragment.size());
            lengthXor ^= static_cast<std::uint16_t>(fragment.size());
        }
        payload[0] = static_cast<std::uint8_t>(first.fragmentIndex >> 8);
        payload[1] = static_cast<std::uint8_t>(first.fragmentIndex);
        payload[2] = static_cast<std::uint8_t>(end - begin);
        payload[3] = static_cast<std::uint8_t>(lengthXor >> 8);
        payload[4] = static_cast<std::uint8_t>(lengthXor);

        MediaDatagram datagram;
        datagram.header = first;
        datagram.header.kind = MediaHeader::Kind::parity;
        datagram.header.fragmentIndex = static_cast<std::uint16_t>(position);
        datagram.header.fragmentCount = static_cast<std::uint16_t>(groups);
        datagram.header.totalLength = static_cast<std::uint32_t>(payload.size());
        datagram.payload = viewOf(payload);
        auto encoded = datagram.encode();
        if (!encoded) return std::unexpected(encoded.error());
        parities.emplace_back(std::move(*encoded));
    }
    return parities;
}

} // namespace quillmere::ParityFEC
