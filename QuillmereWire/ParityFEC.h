#pragma once

#include "QuillmereBase/SharedBytes.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillmere::ParityFEC {

inline constexpr std::size_t parityPrefixSize = 5;
inline constexpr std::int64_t maxGroupSize = 255;

// One parity datagram (kind parity) for every group of groupSize consecutive
// fragments holding at least two, built from one frame's encoded fragment
// datagrams given in fragment order (as the fragmenter makes them). A parity payload is 5 bytes longer than
// the longest payload it covers, so a parity datagram would be longer than
// the fragments it protects: none is produced that is longer than
// maxDatagramSize, which defaults to the longest datagram given. A sender
// that wants parity cuts its fragments 5 bytes short of its datagram size and
// passes that size here.
//
// Fails with the error of a datagram that does not decode, with
// outOfRange("parity.groupSize") when a group would cover more than 255
// fragments, with outOfRange("parity.group") when a group's fragments are not
// consecutive fragments of one frame, and with outOfRange("parity.payload")
// for a payload whose length does not fit the 16-bit length XOR.
WireResult<std::vector<SharedBytes>> parity(std::span<const SharedBytes> datagrams, std::int64_t groupSize,
                                            std::optional<std::size_t> maxDatagramSize = std::nullopt);

// XORs count bytes of in into out, a word at a time; shared with ParityRecovery.
void xorInto(std::uint8_t* out, const std::uint8_t* in, std::size_t count);

} // namespace quillmere::ParityFEC
