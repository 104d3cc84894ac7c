#pragma once

#include "QuillmereMacCore/SurfaceAllocation.h"
#include "QuillmereMacCore/ThermalLevel.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace quillmere {

// Shares one bandwidth budget between the streaming surfaces of a session by
// tier: the surface the user looks at, the others, and those whose content
// has been still for a while. Every surface keeps at least the floor.
class SurfaceScheduler {
public:
    struct Config {
        std::uint32_t budgetKbps = 40000;
        std::uint32_t floorKbps = 1500;
        std::int64_t focusedFPS = 60;
        std::int64_t secondaryFPS = 30;
        std::int64_t idleFPS = 5;
        double focusedWeight = 6.0;
        double secondaryWeight = 2.0;
        double idleWeight = 0.5;
        std::uint64_t idleAfterNs = 5'000'000'000;

        bool operator==(const Config&) const = default;
    };

    struct Focus {
        std::uint32_t surface = 0;
        std::uint64_t expiresNs = 0;

        bool operator==(const Focus&) const = default;
    };

    SurfaceScheduler();
    explicit SurfaceScheduler(const Config& config);

    void add(std::uint32_t surface, std::uint64_t now);
    void remove(std::uint32_t surface);
    void focusHint(std::uint32_t surface, std::uint16_t ttlMs, std::uint64_t now);
    void noteChange(std::uint32_t surface, std::uint64_t now);

    std::map<std::uint32_t, SurfaceAllocation> allocate(std::uint64_t now) const;
    // Meaningful for a scheduled surface only.
    SurfaceTier tier(std::uint32_t surface, std::uint64_t now) const;
    std::optional<std::uint32_t> focusedSurface(std::uint64_t now) const;
    static std::int64_t cappedFPS(std::int64_t fps, SurfaceTier tier, ThermalLevel thermal);

    bool floorsExceedBudget() const;
    std::uint32_t floorCapacity() const;

    const Config& config() const { return config_; }
    const std::vector<std::uint32_t>& surfaces() const { return surfaces_; }
    const std::map<std::uint32_t, std::uint64_t>& lastChangeNs() const { return lastChangeNs_; }
    const std::optional<Focus>& focus() const { return focus_; }
    ThermalLevel thermal() const { return thermal_; }
    void setThermal(ThermalLevel level) { thermal_ = level; }

private:
    bool isScheduled(std::uint32_t surface) const;
    double weight(SurfaceTier tier) const;
    std::int64_t tierFPS(SurfaceTier tier) const;

    Config config_;
    std::vector<std::uint32_t> surfaces_;
    std::map<std::uint32_t, std::uint64_t> lastChangeNs_;
    std::optional<Focus> focus_;
    ThermalLevel thermal_ = ThermalLevel::nominal;
};

} // namespace quillmere
