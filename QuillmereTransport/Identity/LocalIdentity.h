#pragma once

#include "Platform/Crypto/Certificate.h"
#include "QuillmereBase/Digest32.h"
#include "QuillmereTransport/Identity/TLSIdentity.h"

#include <string>

namespace quillmere {

// The host's identity as the rest of the system passes it around.
struct LocalIdentity {
    TLSIdentity secIdentity;
    Certificate certificate;
    Digest32 fingerprint;
    // The label its keychain items are kept under.
    std::string label;
};

} // namespace quillmere
