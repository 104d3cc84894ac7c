#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// Ordered by raw value: the built-in comparisons of the enumeration apply.
enum class ThermalLevel : std::uint8_t { nominal = 0, fair = 1, serious = 2, critical = 3 };

constexpr std::optional<ThermalLevel> thermalLevelFromRaw(std::uint8_t raw) {
    if (raw > 3) return std::nullopt;
    return static_cast<ThermalLevel>(raw);
}

// Share of the highest bit rate allowed at the level.
constexpr double ceilingFactor(ThermalLevel level) {
    switch (level) {
    case ThermalLevel::nominal: return 1.0;
    case ThermalLevel::fair: return 0.85;
    case ThermalLevel::serious: return 0.6;
    case ThermalLevel::critical: return 0.35;
    }
    return 0.35;
}

} // namespace quillmere
