#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmere {

enum class PeerRole : std::uint8_t { host = 1, client = 2 };
enum class VideoCodec : std::uint8_t { h264 = 1, hevc = 2 };
enum class ErrorCode : std::uint16_t {
    protocolViolation = 1,
    unsupportedMessage = 2,
    versionMismatch = 3,
    frameTooLarge = 4,
    notAuthorized = 5,
    invalidState = 6,
    resourceLimit = 7,
    unknownSurface = 8,
    internalError = 9,
};
enum class StopReason : std::uint8_t { user = 0, captureEnded = 1, revoked = 2, error = 3, thermal = 4 };
enum class RecoveryReason : std::uint8_t { frameLoss = 1, decodeError = 2, assemblyTimeout = 3, configMismatch = 4 };
enum class CaptureStateValue : std::uint8_t { awaitingConsent = 0, denied = 1, active = 2, ended = 3, unavailable = 4 };
enum class ByeReason : std::uint8_t { normal = 0, shutdown = 1, revoked = 2, idle = 3, error = 4 };
enum class EnrollmentOutcome : std::uint8_t {
    approved = 0,
    denied = 1,
    expired = 2,
    alreadyUsed = 3,
    invalidProof = 4,
    cancelled = 5,
};
enum class InputControlStateValue : std::uint8_t { denied = 0, granted = 1, revoked = 2, expired = 3, unavailable = 4 };
enum class ClipboardOutcome : std::uint8_t { done = 0, denied = 1, tooLarge = 2, empty = 3, busy = 4, notText = 5 };
enum class InputButton : std::uint8_t { left = 1, right = 2, middle = 3, back = 4, forward = 5 };
enum class ScrollUnit : std::uint8_t { pixel = 0, line = 1 };

// Every wire enumeration is a contiguous range of raw values; the names are
// the case names, used wherever a value is shown as text.
template <class E>
struct WireEnumTraits;

#define QUILLMERE_WIRE_ENUM(E, First, ...)                                            \
    template <>                                                                         \
    struct WireEnumTraits<E> {                                                          \
        static constexpr std::uint32_t first = First;                                  \
        static constexpr std::array names{__VA_ARGS__};                                 \
    };

QUILLMERE_WIRE_ENUM(PeerRole, 1, "host", "client")
QUILLMERE_WIRE_ENUM(VideoCodec, 1, "h264", "hevc")
QUILLMERE_WIRE_ENUM(ErrorCode, 1, "protocolViolation", "unsupportedMessage", "versionMismatch", "frameTooLarge",
                    "notAuthorized", "invalidState", "resourceLimit", "unknownSurface", "internalError")
QUILLMERE_WIRE_ENUM(StopReason, 0, "user", "captureEnded", "revoked", "error", "thermal")
QUILLMERE_WIRE_ENUM(RecoveryReason, 1, "frameLoss", "decodeError", "assemblyTimeout", "configMismatch")
QUILLMERE_WIRE_ENUM(CaptureStateValue, 0, "awaitingConsent", "denied", "active", "ended", "unavailable")
QUILLMERE_WIRE_ENUM(ByeReason, 0, "normal", "shutdown", "revoked", "idle", "error")
QUILLMERE_WIRE_ENUM(EnrollmentOutcome, 0, "approved", "denied", "expired", "alreadyUsed", "invalidProof",
                    "cancelled")
QUILLMERE_WIRE_ENUM(InputControlStateValue, 0, "denied", "granted", "revoked", "expired", "unavailable")
QUILLMERE_WIRE_ENUM(ClipboardOutcome, 0, "done", "denied", "tooLarge", "empty", "busy", "notText")
QUILLMERE_WIRE_ENUM(InputButton, 1, "left", "right", "middle", "back", "forward")
QUILLMERE_WIRE_ENUM(ScrollUnit, 0, "pixel", "line")

#undef QUILLMERE_WIRE_ENUM

template <class E>
constexpr std::optional<E> enumFromRaw(std::uint32_t raw) {
    using T = WireEnumTraits<E>;
    if (raw < T::first || raw - T::first >= T::names.size()) return std::nullopt;
    return static_cast<E>(raw);
}

template <class E>
constexpr std::uint32_t rawValue(E value) {
    return static_cast<std::uint32_t>(value);
}

template <class E>
constexpr std::string_view enumName(E value) {
    using T = WireEnumTraits<E>;
    const std::uint32_t raw = rawValue(value);
    if (raw < T::first || raw - T::first >= T::names.size()) return "unknown";
    return T::names[raw - T::first];
}

// A set of flag bits with a fixed set of valid members.
template <class Tag>
struct OptionSet {
    std::uint32_t rawValue = 0;

    static constexpr std::uint32_t validBits = Tag::validBits;

    constexpr bool contains(OptionSet other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool hasUndefinedBits() const { return (rawValue & ~validBits) != 0; }
    constexpr OptionSet operator|(OptionSet other) const { return {rawValue | other.rawValue}; }
    constexpr OptionSet operator&(OptionSet other) const { return {rawValue & other.rawValue}; }
    constexpr OptionSet& operator|=(OptionSet other) { rawValue |= other.rawValue; return *this; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr bool operator==(const OptionSet&) const = default;
};

struct CodecSetTag { static constexpr std::uint32_t validBits = 0x3; };
struct FeatureSetTag { static constexpr std::uint32_t validBits = 0x1FF; };

using CodecSet = OptionSet<CodecSetTag>;
using FeatureSet = OptionSet<FeatureSetTag>;

namespace codecs {
inline constexpr CodecSet h264{0x1};
inline constexpr CodecSet hevc{0x2};
} // namespace codecs

namespace features {
inline constexpr FeatureSet bit0{0x001};
inline constexpr FeatureSet bit1{0x002};
inline constexpr FeatureSet bit2{0x004};
inline constexpr FeatureSet bit3{0x008};
inline constexpr FeatureSet bit4{0x010};
inline constexpr FeatureSet bit5{0x020};
inline constexpr FeatureSet bit6{0x040};
inline constexpr FeatureSet bit7{0x080};
inline constexpr FeatureSet bit8{0x100};
// What the host advertises.
inline constexpr FeatureSet host{0x087};
} // namespace features

} // namespace quillmere
