#include "QuillmereBase/UTF8.h"
#include "QuillmereWire/TrustedPeer.h"

namespace quillmere {

TrustedPeer::TrustedPeer(const WireID& deviceID, const Digest32& fingerprint, std::string_view name, PeerRole role,
                         std::uint64_t pairedAt)
    : deviceID(deviceID),
      fingerprint(fingerprint),
      name(truncatedUTF8(name, maxNameBytes)),
      role(role),
      pairedAt(pairedAt) {}

} // namespace quillmere
