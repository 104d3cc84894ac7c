#pragma once

#include "QuillmereBase/FixedBytes.h"

namespace quillmere {

struct Digest32Tag { static constexpr const char* path = "Digest32"; };

// SHA-256 outputs: certificate fingerprints, enrollment proofs.
using Digest32 = FixedBytes<32, Digest32Tag>;

} // namespace quillmere
