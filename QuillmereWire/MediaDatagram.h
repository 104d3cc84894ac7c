#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereWire/MediaHeader.h"
#include "QuillmereWire/WireError.h"

namespace quillmere {

// A header with its payload. The payload is a view: a decoded datagram is
// valid only while the bytes it was decoded from live. Whatever keeps a
// datagram beyond that holds the bytes as SharedBytes.
struct MediaDatagram {
    MediaHeader header;
    ByteView payload;

    // The payload takes every byte after the header; it must hold 1 to
    // totalLength bytes.
    static WireResult<MediaDatagram> decode(ByteView bytes);
    // Decoding a temporary would leave the payload dangling.
    static WireResult<MediaDatagram> decode(const Bytes&& bytes) = delete;

    // Header and payload, reserved at the final size once.
    WireResult<Bytes> encode() const;

    bool operator==(const MediaDatagram& other) const;
};

} // namespace quillmere
