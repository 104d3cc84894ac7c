// Fuzz entry for the two pairing decoders that read untrusted bytes: the
// invitation text a client scans and the trust blob a host loads. The first
// byte chooses the input, by its value modulo 3: 0 an invitation text, 1 a
// trust blob, 2 an invitation record, which is wrapped into a text first so
// that mutations reach the record's fields instead of its Base64URL form.
//
// Beyond not crashing, whatever decodes must encode again and decode to the
// same value, and every refusal must be the decoder's own error case.
//
// The unit tests call this entry directly; PairingDecodersFuzz.cpp hands it
// to libFuzzer.
#include "fuzz/PairingDecoderChecks.h"

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
