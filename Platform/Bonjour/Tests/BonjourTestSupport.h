#pragma once

#include "Platform/Bonjour/BonjourAdvertisement.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace quillmere::testing {

// Collects an advertisement's states for a test to wait on.
struct AdvertisementStates {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BonjourAdvertisement::State> states;

    BonjourAdvertisement::StateHandler handler() {
        return [this](BonjourAdvertisement::State state, const std::string&, const std::string&) {
            {
                std::lock_guard lock(mutex);
                states.push_back(state);
            }
            changed.notify_all();
        };
    }

    bool waitFor(BonjourAdvertisement::State state, std::chrono::seconds limit = std::chrono::seconds(15)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] {
            for (auto seen : states) {
                if (seen == state) return true;
            }
            return false;
        });
    }
};

} // namespace quillmere::testing
