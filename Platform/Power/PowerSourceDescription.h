#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillmere {

// One power source as the power-source interface describes it: every key may
// be missing, and readers skip a source that lacks what they need.
struct PowerSourceDescription {
    // "InternalBattery" for the machine's own battery; "DeviceBattery" for a
    // peripheral's; otherwise the kernel's type ("Mains", "USB", "UPS").
    std::optional<std::string> type;
    std::optional<std::int64_t> currentCapacity;
    std::optional<std::int64_t> maxCapacity;
    // "AC Power" while any external supply is online, else "Battery Power".
    std::optional<std::string> powerSourceState;
    std::optional<bool> isCharging;

    bool operator==(const PowerSourceDescription&) const = default;
};

} // namespace quillmere
