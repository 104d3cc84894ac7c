#pragma once

#include "QuillmereBase/Bytes.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereWire/PairingCrypto.h"
#include "QuillmereWire/WireID.h"

// The two enrollment proofs: HMAC-SHA256 under the invitation secret over
// label || invitationID || clientFingerprint || hostFingerprint. The labels
// differ so that neither proof can be replayed as the other.

namespace quillmere::EnrollmentProof {

// "quillmere enroll v1 client" and "quillmere enroll v1 host", no terminator.
ByteView clientLabel();
ByteView hostLabel();

Digest32 client(const PairingCrypto& crypto, const Digest32& key, const WireID& invitationID,
                const Digest32& clientFingerprint, const Digest32& hostFingerprint);
Digest32 host(const PairingCrypto& crypto, const Digest32& key, const WireID& invitationID,
              const Digest32& clientFingerprint, const Digest32& hostFingerprint);

// Whether a received proof equals the expected one, in time independent of
// where they differ, so a refusal reveals nothing about the expected value.
bool matches(const Digest32& received, const Digest32& expected);

} // namespace quillmere::EnrollmentProof
