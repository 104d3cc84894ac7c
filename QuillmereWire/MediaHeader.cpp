#include "QuillmereWire/MediaHeader.h"

namespace quillmere {

WireStatus MediaHeader::validate() const {
    if (flags.rawValue > Flags::definedBits) return std::unexpected(WireError::outOfRange("media.flags"));
    if (surfaceID == 0) return std::unexpected(WireError::outOfRange("media.surfaceID"));
    if (fragmentCount == 0 || fragmentCount > maxFragments)
        return std::unexpected(WireError::outOfRange("media.fragmentCount"));
    if (fragmentIndex >= fragmentCount) return std::unexpected(WireError::outOfRange("media.fragmentIndex"));
    if (totalLength == 0 || totalLength > maxFrameBytes)
        return std::unexpected(WireError::outOfRange("media.totalLength"));
    return {};
}

WireStatus MediaHeader::encode(ByteWriter& writer) const {
    if (auto valid = validate(); !valid) return valid;
    writer.writeU8(currentVersion);
    writer.writeU8(rawKind(kind));
    writer.writeU8(flags.rawValue);
    writer.writeU8(0);
    writer.writeU32(surfaceID);
    writer.writeU32(epoch);
    writer.writeU32(frameID);
    writer.writeU32(configGeneration);
    writer.writeU16(fragmentIndex);
    writer.writeU16(fragmentCount);
    writer.writeU32(totalLength);
    writer.writeU64(captureTimeNs);
    writer.writeU32(sendOffsetUs);
    return {};
}

} // namespace quillmere
