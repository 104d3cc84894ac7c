#pragma once

#include <cstddef>
#include <cstdint>

namespace quillmere {

// Aborts when a decoder breaks one of its promises; returns 0 otherwise.
int fuzzPairingDecoders(const std::uint8_t* data, std::size_t size);

} // namespace quillmere
