// Fuzz entry for the two pairing decoders that read untrusted bytes: the
// invitation text a client scans and the trust blob a host loads. The first
// byte chooses the input, by its value modulo 3: 0 an invitation text, 1 a
// trust blob, 2 an invitation record, which is wrapped into a text first so
// that mutations reach the record's fields instead of its Base64URL form.
//
// Beyond not crashing, whatever decodes must encode again and decode to the
// same value, and every refusal must be the decoder's own error case.
//
// The unit tests call this entry directly; with QUILLMERE_LIBFUZZER it is
// also linked into a libFuzzer executable.
#include "PairingDecodersFuzz.h"

#include "QuillmereWire/Base64URL.h"
#include "QuillmereWire/Invitation.h"
#include "QuillmereWire/TrustStore.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace quillmere {

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void fuzzInvitation(std::string_view text) {
    const auto invitation = Invitation::fromText(text);
    if (!invitation) {
        check(invitation.error().kind() == EnrollmentError::Kind::malformedInvitation);
        return;
    }
    check(invitation->port != 0 && !invitation->address.empty());
    const auto encoded = invitation->encoded();
    check(encoded.has_value());
    check(encoded->size() <= Invitation::maxTextBytes);
    check(Invitation::fromText(*encoded) == *invitation);
}

void fuzzTrustBlob(ByteView blob) {
    const auto peers = TrustStore::decode(blob);
    if (!peers) {
        check(peers.error().kind() == TrustStoreError::Kind::corrupt);
        return;
    }
    check(peers->size() <= TrustStore::maxPeers);
    // A blob has one form: what decodes writes back byte for byte.
    const auto encoded = TrustStore::encode(*peers);
    check(encoded.has_value());
    check(std::equal(encoded->begin(), encoded->end(), blob.begin(), blob.end()));
}

} // namespace

int fuzzPairingDecoders(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const ByteView rest(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: fuzzInvitation(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size())); break;
    case 1: fuzzTrustBlob(rest); break;
    default: fuzzInvitation(std::string(Invitation::textPrefix) + Base64URL::encode(rest)); break;
    }
    return 0;
}

} // namespace quillmere

#ifdef QUILLMERE_LIBFUZZER

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return quillmere::fuzzPairingDecoders(data, size);
}

// GCC's -fsanitize-coverage=trace-pc calls __sanitizer_cov_trace_pc at every
// edge, which current libFuzzer refuses; fold those calls into 8-bit counters
// that libFuzzer does read. Linked ahead of libFuzzer with
// --allow-multiple-definition so that this definition wins.
namespace {
alignas(64) std::uint8_t edgeCounters[1 << 16];
}

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);

extern "C" __attribute__((no_sanitize_coverage, no_sanitize("address", "undefined"))) void
__sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    ++edgeCounters[(pc ^ (pc >> 16)) & (sizeof edgeCounters - 1)];
}

__attribute__((constructor, no_sanitize_coverage)) static void registerEdgeCounters() {
    __sanitizer_cov_8bit_counters_init(edgeCounters, edgeCounters + sizeof edgeCounters);
}

#endif
