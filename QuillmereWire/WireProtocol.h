#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmere::WireProtocol {

inline constexpr std::string_view protocolIdentifier = "quillmere/1";
inline constexpr std::string_view enrollmentProtocolIdentifier = "quillmere-enroll/1";
inline constexpr std::string_view serviceType = "_quillmere._udp";
inline constexpr std::uint16_t majorVersion = 1;
inline constexpr std::uint16_t minorVersion = 0;
inline constexpr std::size_t controlHeaderSize = 8;
inline constexpr std::uint32_t maxControlPayload = 65536;
inline constexpr std::size_t maxNameBytes = 64;
inline constexpr std::size_t maxClipboardBytes = 60000;
inline constexpr std::uint8_t maxTextSizeLevel = 2;
inline constexpr std::uint8_t maxScreenShape = 2;
inline constexpr std::uint16_t surfaceBudgetMin = 64;
inline constexpr std::uint16_t surfaceBudgetMax = 8192;

} // namespace quillmere::WireProtocol
