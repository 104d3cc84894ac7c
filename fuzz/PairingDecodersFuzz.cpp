// The pairing decoders that read untrusted bytes (invitation text, trust
// blob); the properties live beside the unit tests that also run them.

#include "Fuzz/PairingDecodersFuzz.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return quillmere::fuzzPairingDecoders(data, size);
}
