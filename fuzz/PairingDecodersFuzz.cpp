// The pairing decoders that read untrusted bytes (invitation text, trust
// blob); the unit tests run the same checks.

#include "fuzz/PairingDecoderChecks.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return quillmere::fuzzPairingDecoders(data, size);
}
