#include "QuillmereMacCore/SurfaceScheduler.h"

#include "QuillmereMacCore/Saturating.h"

#include <algorithm>

namespace quillmere {

namespace {

constexpr std::uint16_t maxFocusTtlMs = 2000;

} // namespace

SurfaceScheduler::SurfaceScheduler() : config_() {}

SurfaceScheduler::SurfaceScheduler(const Config& config) : config_(config) {}

bool SurfaceScheduler::isScheduled(std::uint32_t surface) const {
    return lastChangeNs_.contains(surface);
}

void SurfaceScheduler::add(std::uint32_t surface, std::uint64_t now) {
    if (isScheduled(surface)) return;
    surfaces_.push_back(surface);
    // A newly added surface starts as recently changed.
    lastChangeNs_[surface] = now;
}

void SurfaceScheduler::remove(std::uint32_t surface) {
    std::erase(surfaces_, surface);
    lastChangeNs_.erase(surface);
    if (focus_ && focus_->surface == surface) focus_.reset();
}

void SurfaceScheduler::focusHint(std::uint32_t surface, std::uint16_t ttlMs, std::uint64_t now) {
    if (!isScheduled(surface)) return;
    const std::uint64_t ttlNs = 1'000'000ULL * std::min(ttlMs, maxFocusTtlMs);
    focus_ = Focus{surface, saturating::add(now, ttlNs)};
}

void SurfaceScheduler::noteChange(std::uint32_t surface, std::uint64_t now) {
    auto it = lastChangeNs_.find(surface);
    if (it != lastChangeNs_.end()) it->second = now;
}

std::optional<std::uint32_t> SurfaceScheduler::focusedSurface(std::uint64_t now) const {
    if (focus_ && now < focus_->expiresNs && isScheduled(focus_->surface)) return focus_->surface;
    if (surfaces_.size() == 1) return surfaces_.front();
    return std::nullopt;
}

SurfaceTier SurfaceScheduler::tier(std::uint32_t surface, std::uint64_t now) const {
    // Focus wins over stillness.
    if (focusedSurface(now) == surface) return SurfaceTier::focused;
    auto it = lastChangeNs_.find(surface);
    if (it != lastChangeNs_.end() && now >= it->second && now - it->second > config_.idleAfterNs) {
        return SurfaceTier::idle;
    }
    return SurfaceTier::secondary;
}

std::int64_t SurfaceScheduler::cappedFPS(std::int64_t fps, SurfaceTier tier, ThermalLevel thermal) {
    if (tier == SurfaceTier::idle) return fps;
    switch (thermal) {
    case ThermalLevel::nominal:
    case ThermalLevel::fair:
        return fps;
    case ThermalLevel::serious:
        return std::min<std::int64_t>(fps, tier == SurfaceTier::focused ? 30 : 15);
    case ThermalLevel::critical:
        return std::min<std::int64_t>(fps, tier == SurfaceTier::focused ? 20 : 10);
    }
    return fps;
}

double SurfaceScheduler::weight(SurfaceTier tier) const {
    switch (tier) {
    case SurfaceTier::focused: return config_.focusedWeight;
    case SurfaceTier::secondary: return config_.secondaryWeight;
    case SurfaceTier::idle: return config_.idleWeight;
    }
    return config_.idleWeight;
}

std::int64_t SurfaceScheduler::tierFPS(SurfaceTier tier) const {
    switch (tier) {
    case SurfaceTier::focused: return config_.focusedFPS;
    case SurfaceTier::secondary: return config_.secondaryFPS;
    case SurfaceTier::idle: return config_.idleFPS;
    }
    return config_.idleFPS;
}

std::map<std::uint32_t, SurfaceAllocation> SurfaceScheduler::allocate(std::uint64_t now) const {
    std::map<std::uint32_t, SurfaceTier> tiers;
    double totalWeight = 0.0;
    for (std::uint32_t surface : surfaces_) {
        const SurfaceTier t = tier(surface, now);
        tiers.emplace(surface, t);
        totalWeight += weight(t);
    }

    std::map<std::uint32_t, SurfaceAllocation> allocations;
    for (const auto& [surface, t] : tiers) {
        const double share = totalWeight > 0.0 ? weight(t) * config_.budgetKbps / totalWeight : 0.0;
        const std::uint32_t bitrate = std::max(config_.floorKbps, saturating::truncatedU32(share));
        allocations.emplace(surface, SurfaceAllocation{t, cappedFPS(tierFPS(t), t, thermal_), bitrate});
    }
    return allocations;
}

bool SurfaceScheduler::floorsExceedBudget() const {
    return static_cast<std::uint64_t>(config_.floorKbps) * surfaces_.size() > config_.budgetKbps;
}

std::uint32_t SurfaceScheduler::floorCapacity() const {
    return config_.budgetKbps / std::max<std::uint32_t>(config_.floorKbps, 1);
}

} // namespace quillmere
