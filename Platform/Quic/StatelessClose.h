#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// An Initial packet with CONNECTION_CLOSE answering a client's first Initial
// packet, for a server that keeps no state for it: the client learns at once
// instead of waiting for its handshake timeout. Absent when the packet is
// not a client's first Initial.
namespace StatelessClose {

inline constexpr std::uint64_t noError = 0x0;
inline constexpr std::uint64_t connectionRefused = 0x2;

std::optional<Bytes> answer(ByteView initialPacket, std::uint64_t transportErrorCode);

} // namespace StatelessClose

} // namespace quillmere
