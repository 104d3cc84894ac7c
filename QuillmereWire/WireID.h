#pragma once

#include "QuillmereBase/FixedBytes.h"

namespace quillmere {

struct WireIDTag { static constexpr const char* path = "WireID"; };

// Device identifiers, session nonces, invitation identifiers.
using WireID = FixedBytes<16, WireIDTag>;

} // namespace quillmere
