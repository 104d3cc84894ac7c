#pragma once

#include "QuillmereWire/ControlMessage.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

// The field rules of the control vocabulary, shared by the encoder (before it
// writes) and the decoder (after it reads). Each check fails with
// outOfRange(path) at the first rule broken, in the order the rules are listed.

// The case whose wire value is raw, or unknownValue(field, raw).
template <class E>
WireResult<E> decodeEnum(std::uint32_t raw, std::string_view field) {
    if (auto value = enumFromRaw<E>(raw)) return *value;
    return std::unexpected(WireError::unknownValue(std::string(field), raw));
}

// codecs, features, maxWidth, maxHeight, maxFPS, maxSurfaces, maxDatagram.
WireStatus validate(const Capabilities& capabilities);
// surfaceID, width, height, fps, bitrateKbps, parameterSetCount, parameterSet.
WireStatus validate(const StreamConfig& config);
// intervalMs, thermalState.
WireStatus validate(const ReceiverReport& report);
// png, pointHeight.
WireStatus validate(const CursorShape& shape);

// 1 to 255 UTF-8 bytes and no control character.
WireStatus validateInputText(std::string_view text);
// surfaceID not 0, then maxWidth and maxHeight 64 to 8192 ("surfaceBudget.size").
WireStatus validateSurfaceBudget(std::uint32_t surfaceID, std::uint16_t maxWidth, std::uint16_t maxHeight);
// 48000 Hz, 1 or 2 channels, 10 or 20 ms frames.
WireStatus validateAudioConfig(std::uint32_t sampleRate, std::uint8_t channels, std::uint8_t frameMs);

} // namespace quillmere
