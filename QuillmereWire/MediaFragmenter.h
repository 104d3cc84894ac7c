#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/EncodedFrame.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <vector>

namespace quillmere::MediaFragmenter {

// Cuts a frame into complete video datagrams of at most usableDatagramSize
// bytes (and never above 65,535), in fragment order. Every datagram but the
// last has exactly that size. A frame is cut whole or not at all.
//
// The datagrams lie back to back in one buffer that they share: each may be
// kept, queued or dropped on its own, and the buffer goes with the last one.
WireResult<std::vector<SharedBytes>> fragment(const EncodedFrame& frame, std::int64_t usableDatagramSize,
                                        std::uint32_t sendOffsetUs);

} // namespace quillmere::MediaFragmenter
