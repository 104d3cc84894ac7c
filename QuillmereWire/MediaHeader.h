#pragma once

#include "QuillmereBase/ByteWriter.h"
#include "QuillmereWire/WireEnums.h"
#include "QuillmereWire/WireError.h"

#include <cstdint>
#include <optional>

namespace quillmere {

// The fixed 40-byte header in front of every media datagram.
struct MediaHeader {
    enum class Kind : std::uint8_t { video = 1, audio = 2, parity = 3, pose = 4 };

    struct Flags {
        std::uint8_t rawValue = 0;

        static const Flags keyframe;
        static const Flags configChanged;
        // No later frame depends on it: dropping it before sending forces no keyframe.
        static const Flags discardable;
        static constexpr std::uint8_t definedBits = 0x07;

        constexpr bool contains(Flags other) const { return (rawValue & other.rawValue) == other.rawValue; }
        constexpr bool isEmpty() const { return rawValue == 0; }
        constexpr Flags operator|(Flags other) const { return {static_cast<std::uint8_t>(rawValue | other.rawValue)}; }
        constexpr Flags& operator|=(Flags other) { rawValue |= other.rawValue; return *this; }
        constexpr bool operator==(const Flags&) const = default;
    };

    static constexpr std::size_t headerSize = 40;
    static constexpr std::uint8_t currentVersion = 1;
    static constexpr std::uint16_t maxFragments = 2048;
    static constexpr std::uint32_t maxFrameBytes = 4'194'304;
    static constexpr std::int64_t minUsableDatagramSize = 104;

    Kind kind = Kind::video;
    Flags flags;
    std::uint32_t surfaceID = 0;
    std::uint32_t epoch = 0;
    std::uint32_t frameID = 0;
    std::uint32_t configGeneration = 0;
    std::uint16_t fragmentIndex = 0;
    std::uint16_t fragmentCount = 0;
    std::uint32_t totalLength = 0;
    std::uint64_t captureTimeNs = 0;
    std::uint32_t sendOffsetUs = 0;

    static constexpr std::optional<Kind> kindFromRaw(std::uint8_t raw) {
        if (raw < 1 || raw > 4) return std::nullopt;
        return static_cast<Kind>(raw);
    }
    static constexpr std::uint8_t rawKind(Kind kind) { return static_cast<std::uint8_t>(kind); }

    // First failing check wins: flags, surfaceID, fragmentCount, fragmentIndex, totalLength.
    WireStatus validate() const;
    // Validates, then appends the 40 header bytes; appends nothing on failure.
    WireStatus encode(ByteWriter& writer) const;

    bool operator==(const MediaHeader&) const = default;
};

inline constexpr MediaHeader::Flags MediaHeader::Flags::keyframe{0x01};
inline constexpr MediaHeader::Flags MediaHeader::Flags::configChanged{0x02};
inline constexpr MediaHeader::Flags MediaHeader::Flags::discardable{0x04};

template <>
struct WireEnumTraits<MediaHeader::Kind> {
    static constexpr std::uint32_t first = 1;
    static constexpr std::array names{"video", "audio", "parity", "pose"};
};

} // namespace quillmere
