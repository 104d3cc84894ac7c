#include "QuillmereWire/ControlFrameDecoder.h"

#include "QuillmereWire/WireProtocol.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::size_t headerSize = WireProtocol::controlHeaderSize;

struct FrameHeader {
    std::uint16_t type;
    std::uint16_t flags;
    std::uint32_t length;
};

// Precondition: at least headerSize bytes.
FrameHeader readHeader(const std::uint8_t* p) {
    return {static_cast<std::uint16_t>(p[0] << 8 | p[1]), static_cast<std::uint16_t>(p[2] << 8 | p[3]),
            static_cast<std::uint32_t>(p[4]) << 24 | static_cast<std::uint32_t>(p[5]) << 16 |
                static_cast<std::uint32_t>(p[6]) << 8 | p[7]};
}

WireStatus checkHeader(const FrameHeader& header) {
    if (header.flags > ControlFrameDecoder::ignorableFlag) return std::unexpected(WireError::reservedBitsSet());
    if (header.length > WireProtocol::maxControlPayload)
        return std::unexpected(WireError::frameTooLarge(header.length));
    return {};
}

// How many whole frames lie at the front of bytes, up to the first bad header.
std::size_t completeFrames(ByteView bytes) {
    std::size_t count = 0;
    for (std::size_t position = 0; bytes.size() - position >= headerSize; ++count) {
        const FrameHeader header = readHeader(bytes.data() + position);
        if (!checkHeader(header) || bytes.size() - position - headerSize < header.length) break;
        position += headerSize + header.length;
    }
    return count;
}

WireResult<ControlMessage> decodeFrame(const FrameHeader& header, ByteView payload) {
    return ControlMessage::decode(header.type, (header.flags & ControlFrameDecoder::ignorableFlag) != 0, payload);
}

} // namespace

std::unexpected<WireError> ControlFrameDecoder::fail(WireError error) {
    failure_ = error;
    Bytes().swap(buffer_);
    return std::unexpected(std::move(error));
}

WireResult<std::vector<ControlMessage>> ControlFrameDecoder::push(ByteView bytes) {
    if (failure_) return std::unexpected(*failure_);
    std::vector<ControlMessage> messages;

    // Finish the frame held back by earlier calls, taking from the new bytes
    // only what it still lacks, so that a large frame arriving in small pieces
    // is appended once and never moved.
    if (!buffer_.empty()) {
        auto takeUpTo = [&](std::size_t wanted) {
            const std::size_t count = std::min(wanted - std::min(wanted, buffer_.size()), bytes.size());
            buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
            bytes = bytes.subspan(count);
        };
        takeUpTo(headerSize);
        if (buffer_.size() < headerSize) return messages;
        const FrameHeader header = readHeader(buffer_.data());
        if (auto status = checkHeader(header); !status) return fail(status.error());
        const std::size_t frameSize = headerSize + header.length;
        takeUpTo(frameSize);
        if (buffer_.size() < frameSize) return messages;
        auto message = decodeFrame(header, ByteView(buffer_).subspan(headerSize));
        if (!message) return fail(message.error());
        messages.push_back(std::move(*message));
        buffer_.clear();
    }

    // Whole frames are decoded straight from the caller's bytes, into a list
    // sized once by a walk over their headers.
    messages.reserve(messages.size() + completeFrames(bytes));
    std::size_t position = 0;
    while (bytes.size() - position >= headerSize) {
        const FrameHeader header = readHeader(bytes.data() + position);
        if (auto status = checkHeader(header); !status) return fail(status.error());
        if (bytes.size() - position - headerSize < header.length) break;
        auto message = decodeFrame(header, bytes.subspan(position + headerSize, header.length));
        if (!message) return fail(message.error());
        messages.push_back(std::move(*message));
        position += headerSize + header.length;
    }
    buffer_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(position), bytes.end());
    return messages;
}

} // namespace quillmere
