#pragma once

#include "Platform/Bonjour/BonjourAdvertisement.h"

#include <algorithm>
#include <cctype>
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

// avahi-browse -p writes bytes outside plain ASCII letters and digits as \DDD.
inline std::string unescapeBrowseField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() + 0 && std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
            out.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3))));
            i += 3;
        } else if (field[i] == '\\' && i + 1 < field.size()) {
            out.push_back(field[++i]);
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

// The fields of an avahi-browse -p line.
inline std::vector<std::string> browseFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string current;
    for (char c : line) {
        if (c == ';') {
            fields.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    fields.push_back(current);
    return fields;
}

} // namespace quillmere::testing
