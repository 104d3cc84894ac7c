#pragma once

#include "QuillmereMac/Control/ControlSurfaces.h"

#include <map>
#include <mutex>
#include <vector>

namespace quillmere::testing {

// The surfaces remote control asks about, as the test lists them.
class ListedControlSurfaces final : public ControlSurfaces {
public:
    std::optional<CaptureChoice> choiceOf(const SurfaceKey& surface) override {
        std::lock_guard lock(mutex_);
        const auto found = surfaces_.find(surface);
        return found == surfaces_.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::pair<SurfaceKey, CaptureChoice>>
    controlCandidate(const std::shared_ptr<MediaConnection>& connection) override {
        std::lock_guard lock(mutex_);
        std::optional<std::pair<SurfaceKey, CaptureChoice>> lowest;
        for (const auto& [key, choice] : surfaces_) {
            if (!key.belongsTo(connection)) continue;
            if (!lowest || key.surfaceID == 1) lowest.emplace(key, choice);
            if (key.surfaceID >= 1) break;
        }
        return lowest;
    }
    void add(const SurfaceKey& key, CaptureChoice choice) {
        std::lock_guard lock(mutex_);
        surfaces_[key] = choice;
    }
    // The connection's surfaces that remain, lowest first.
    std::vector<SurfaceKey> remove(const SurfaceKey& key) {
        std::lock_guard lock(mutex_);
        surfaces_.erase(key);
        std::vector<SurfaceKey> remaining;
        for (const auto& [other, choice] : surfaces_)
            if (other.belongsTo(key.connection.lock())) remaining.push_back(other);
        return remaining;
    }

private:
    std::mutex mutex_;
    std::map<SurfaceKey, CaptureChoice, SurfaceKeyOrder> surfaces_;
};

} // namespace quillmere::testing
