#include "QuillmereWire/MediaFragmenter.h"

#include "QuillmereBase/ByteWriter.h"

#include <algorithm>

namespace quillmere::MediaFragmenter {

namespace {

constexpr std::int64_t largestDatagram = 65'535;
constexpr std::size_t fragmentIndexOffset = 20;

} // namespace

WireResult<std::vector<SharedBytes>> fragment(const EncodedFrame& frame, std::int64_t usableDatagramSize,
                                        std::uint32_t sendOffsetUs) {
    if (usableDatagramSize < MediaHeader::minUsableDatagramSize)
        return std::unexpected(WireError::outOfRange("media.usableDatagramSize"));
    const std::size_t length = frame.data.size();
    if (length == 0 || length > MediaHeader::maxFrameBytes)
        return std::unexpected(WireError::outOfRange("media.totalLength"));

    const auto datagramSize = static_cast<std::uint32_t>(std::min(usableDatagramSize, largestDatagram));
    const std::uint32_t chunk = datagramSize - static_cast<std::uint32_t>(MediaHeader::headerSize);
    const auto total = static_cast<std::uint32_t>(length);
    const std::uint32_t count = (total + chunk - 1) / chunk;
    if (count > MediaHeader::maxFragments) return std::unexpected(WireError::outOfRange("media.fragmentCount"));

    MediaHeader header;
    header.kind = MediaHeader::Kind::video;
    header.flags = frame.flags;
    header.surfaceID = frame.surfaceID;
    header.epoch = frame.epoch;
    header.frameID = frame.frameID;
    header.configGeneration = frame.configGeneration;
    header.fragmentIndex = 0;
    header.fragmentCount = static_cast<std::uint16_t>(count);
    header.totalLength = total;
    header.captureTimeNs = frame.captureTimeNs;
    header.sendOffsetUs = sendOffsetUs;

    // The fragments differ only in their index: the header is validated and
    // written once, and each datagram gets a copy with its index patched in.
    ByteWriter templateWriter(MediaHeader::headerSize);
    if (auto written = header.encode(templateWriter); !written) return std::unexpected(written.error());
    const Bytes& headerBytes = templateWriter.bytes();

    Bytes buffer;
    buffer.reserve(std::size_t{count} * MediaHeader::headerSize + length);
    for (std::uint32_t index = 0; index < count; ++index) {
        const std::size_t begin = std::size_t{index} * chunk;
        const std::size_t end = std::min<std::size_t>(length, begin + chunk);
        const std::size_t start = buffer.size();
        buffer.insert(buffer.end(), headerBytes.begin(), headerBytes.end());
        buffer[start + fragmentIndexOffset] = static_cast<std::uint8_t>(index >> 8);
        buffer[start + fragmentIndexOffset + 1] = static_cast<std::uint8_t>(index);
        buffer.insert(buffer.end(), frame.data.begin() + static_cast<std::ptrdiff_t>(begin),
                      frame.data.begin() + static_cast<std::ptrdiff_t>(end));
    }

    const SharedBytes whole(std::move(buffer));
    std::vector<SharedBytes> datagrams;
    datagrams.reserve(count);
    for (std::uint32_t index = 0; index < count; ++index) {
        const std::size_t offset = std::size_t{index} * datagramSize;
        datagrams.push_back(whole.slice(offset, datagramSize));
    }
    return datagrams;
}

} // namespace quillmere::MediaFragmenter
